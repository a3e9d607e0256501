// Network configuration of the Ethernet interface: the stored static IPv4
// settings ("/userdata/const/net_config") and the interface's current
// address, mask and MAC.
#ifndef KORVID_COMMON_NETWORK_H
#define KORVID_COMMON_NETWORK_H

#include "common/common.h"

// Store one setting (host byte order) in the network configuration file.
// Storing the gateway also starts applying the three settings.
void modifyIp(uint32 ipaddress);
void modifyMask(uint32 mask);
void modifyGateway(uint32 gateway);

// Address, mask (host byte order) and MAC of "eth0": 0, or -1 when the
// interface cannot be queried. macAddressH holds the first two MAC bytes,
// macAddressL the other four.
int GetLocalInfo(uint32* ipAddress, uint32* mask, uint32* macAddressH, uint32* macAddressL);

#endif
