// Network configuration of the Ethernet interface: the stored static IPv4
// settings ("/userdata/const/net_config"), the network task that applies them
// to "eth0", and the interface's current address, mask, MAC and default
// gateway.
#ifndef KORVID_COMMON_NETWORK_H
#define KORVID_COMMON_NETWORK_H

#include "common/common.h"

// Board paths and names of the stored settings.
#define NET_CONFIG_FILE         "/userdata/const/net_config"
#define NET_CONFIG_SECTION      "IPCONFIG"
#define NET_CONFIG_IPADDRESS    "IPADDRESS"
#define NET_CONFIG_NETMASK      "NETMASK"
#define NET_CONFIG_GATEWAY      "GATEWAY"
#define NET_INTERFACES_FILE     "/etc/network/interfaces"
#define NET_S40NETWORK_FILE     "/etc/init.d/S40network"
#define NET_INTERFACE_NAME      "eth0"

// Free space (MiB) the root file system needs before settings are applied.
#define NET_APPLY_MIN_FREE_MIB  101

// Store one setting (host byte order) in the network configuration file,
// whose keys must exist already. A missing file logs "file not exist %s" and
// stores nothing. Storing the gateway also starts the network task (worker
// 517), which applies the three settings; a failed store starts no task.
void modifyIp(uint32 ipaddress);
void modifyMask(uint32 mask);
void modifyGateway(uint32 gateway);
// Does nothing: the interface always takes the stored static settings.
void modifyMode(uint32 mode);

// Body of worker 517 (E_WORKER_ID_IP); `vwker` is the worker_t. Mutes
// discovery answers, releases the controlling host, applies the stored
// settings to "eth0" through the board's network scripts and ends itself.
// Settings that are not plain dotted-quad addresses are refused whole.
// Runs of the task follow one another, never overlap.
void* IP_Task(void* vwker);

// Address, mask (host byte order) and MAC of "eth0": 0, or -1 when the
// interface cannot be queried. macAddressH holds the first two MAC bytes,
// macAddressL the other four. Without an "eth0" carrying an IPv4 address the
// outputs are left as they are and 0 is returned.
int GetLocalInfo(uint32* ipAddress, uint32* mask, uint32* macAddressH, uint32* macAddressL);

// Gateway of the IPv4 default route of the main table (host byte order; 0
// when there is none): 0, or -1 when the kernel's route table cannot be read.
int GetDefaultGateway(uint32* gateway);

#endif
