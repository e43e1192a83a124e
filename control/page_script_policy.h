#ifndef VEXA_CONTROL_PAGE_SCRIPT_POLICY_H_
#define VEXA_CONTROL_PAGE_SCRIPT_POLICY_H_

// What a control driven by page script (a web page, or whatever script runs
// in it) may do beyond what the user's own programs may. A page is untrusted:
// it may hold an injected script, or be served over a network someone else
// controls. So it never learns the remembered password digest, and it uploads
// only what the user picked in its chooser or what is already queued.

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// The code a page gets for a path its user did not choose: the platform's
// access-denied code, as port::LastError numbers it.
inline constexpr int kPathNotChosenCode = 5;

// Why a page's request to queue was refused.
enum class PageRefusal {
  kNone,
  kPathNotChosen,  // the user did not choose the path (kPathNotChosenCode)
  kOtherAccount,   // the session is no longer the account the page saw
};

// Stands in for the remembered password digest in what a page reads
// (GetAccountInfo). Random per process, never 40 characters long, so it can
// never pass for a digest; it does not reveal the digest.
const std::string& RememberedLoginToken();

class PageScriptPolicy {
 public:
  // The user picked these in this page's chooser.
  void ChoseFile(const std::string& path) { files_.insert(path); }
  void ChoseFolder(const std::string& path) { folders_.insert(path); }

  // Whether the page may queue or start `path`: chosen in its chooser, lying
  // under a chosen folder, or already known to the uploads (a resume record,
  // a folder upload, a row of the task list). Decided from the text alone,
  // without touching the file system, so a refusal tells the page nothing
  // about the files there. Below a chosen folder, a path through a symbolic
  // link is refused as not chosen (only that looks at the disk).
  bool MayUpload(const std::string& path) const;

 private:
  std::set<std::string> files_;
  std::set<std::string> folders_;
};

// Who may script a control that a browser can host (the COM control): a
// page of a registered origin, or the user's own program. A browser asks for
// scripting safety and puts the control in a document, whose address it
// tells; a local script host or test program does neither, and keeps the
// control as its user's own.
class ScriptCallerCheck {
 public:
  // The host asked for scripting safety, as browsers do before a page's first
  // call (and possibly before they tell the document).
  void SafetyAsked() { safety_asked_ = true; }
  // The host put the control in the document at `url`; `registered` lists the
  // registered origins. An empty `url` (a site that names no document) tells
  // nothing and changes nothing.
  void PlacedIn(std::string_view url, const std::vector<std::string>& registered);

  // Whether the host may hear that the control is safe for scripting: not in
  // a document of an unregistered origin. Before the document is known the
  // answer is yes; scripting then waits for it (MayScript).
  bool MayGrantSafety() const { return !placed_ || registered_; }
  // Whether a script may call the control now: in a document of a registered
  // origin, or never asked for safety and in no document.
  bool MayScript() const { return placed_ ? registered_ : !safety_asked_; }
  // Whether a page drives the control, so the page's rules apply
  // (CUpload::ServePageScript).
  bool ServesPage() const { return placed_ || safety_asked_; }

 private:
  bool safety_asked_ = false;
  bool placed_ = false;      // a site named the document
  bool registered_ = false;  // and its origin is registered
};

// Whether `path` names something inside `folder` without leaving it: it starts
// with the folder and a separator, and no part of the rest is empty, "." or
// "..".
bool IsInsideFolder(const std::string& path, const std::string& folder);

// Whether no part of `path` below `folder` (which it lies inside) is a
// symbolic link: a link inside a chosen folder may point out of it.
bool LeadsThroughNoLink(const std::string& path, const std::string& folder);

}  // namespace vexa

#endif  // VEXA_CONTROL_PAGE_SCRIPT_POLICY_H_
