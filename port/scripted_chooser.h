#ifndef VEXA_PORT_SCRIPTED_CHOOSER_H_
#define VEXA_PORT_SCRIPTED_CHOOSER_H_

#include <string>
#include <vector>

namespace vexa::port {

// The chooser program named by VEXAUPLOAD_CHOOSER (see file_chooser.h), which
// takes the place of every platform's dialogs; null when unset or empty.
const char* ScriptedChooser();

// Runs `program kind title` and splits what it printed into *strings (lines,
// or NUL-separated strings when the output holds a NUL), without empty ones at
// the end. False when it failed or printed nothing: a cancel.
bool RunScriptedChooser(const char* program, const char* kind, const std::string& title,
                        std::vector<std::string>* strings);

// `text` cut at every `separator`; nothing after a final separator.
std::vector<std::string> SplitChooserOutput(const std::string& text, char separator);

}  // namespace vexa::port

#endif  // VEXA_PORT_SCRIPTED_CHOOSER_H_
