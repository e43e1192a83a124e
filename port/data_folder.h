#ifndef VEXA_PORT_DATA_FOLDER_H_
#define VEXA_PORT_DATA_FOLDER_H_

#include <string>

namespace vexa::port {

// The folder that holds every file of the system, ending with a separator:
// $VEXAUPLOAD_DATA_DIR when set, else ${XDG_DATA_HOME:-$HOME/.local/share}/
// vexabackup/upload/. Created with mode 0700 when missing, made 0700 when it
// is more open. Returns an empty string when it cannot be created or another
// user owns it.
std::string GetDataFolder();

}  // namespace vexa::port

#endif  // VEXA_PORT_DATA_FOLDER_H_
