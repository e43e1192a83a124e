#ifndef VEXA_PORT_WIN32_DATA_FOLDER_WIN32_H_
#define VEXA_PORT_WIN32_DATA_FOLDER_WIN32_H_

#include <string>

namespace vexa::port {

// Whether this process runs below medium integrity (a browser tab in
// Protected Mode), where the roaming profile cannot be written.
bool IsLowIntegrityProcess();

// The data folder of a process at that integrity, without the override:
// the roaming application data folder at medium integrity and above, the
// low-integrity local one (LocalAppDataLow) below, each with the same
// "vexabackup\upload\" layout. Created when missing; empty when it cannot be.
std::string DefaultDataFolder(bool low_integrity);

}  // namespace vexa::port

#endif  // VEXA_PORT_WIN32_DATA_FOLDER_WIN32_H_
