// Network configuration. Storing settings and querying the interface come
// with the network configuration work; until then every store is reported as
// not done (with the value it was given) and the interface as not answering.
#include "common/network.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "log/logger.h"

namespace {

void not_stored(const char* key, uint32 value)
{
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a {};
    a.s_addr = htonl(value);
    inet_ntop(AF_INET, &a, text, sizeof(text));
    log_error(g_logger, __FUNCTION__, __LINE__, "network configuration not available, %s:%s not stored", key, text);
}

}  // namespace

void modifyIp(uint32 ipaddress) { not_stored("IPADDRESS", ipaddress); }
void modifyMask(uint32 mask) { not_stored("NETMASK", mask); }
void modifyGateway(uint32 gateway) { not_stored("GATEWAY", gateway); }

int GetLocalInfo(uint32*, uint32*, uint32*, uint32*)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "interface data not available");
    return -1;
}
