// TCP file-transfer server on port 9900: hosts upload and download files
// (calibration, configuration, firmware, logs, maps) with an MD5 digest.
#ifndef KORVID_SERVER_TCP_SERVER_H
#define KORVID_SERVER_TCP_SERVER_H

// Port of the file-transfer service.
#define FILE_TRANSFER_PORT 9900

// IOHandler of the file-transfer listener and of the connections it
// accepts; vpcore is the event core.
int tcp_pump(void* vpcore, void* vobj, int event, int fdtype);

#endif
