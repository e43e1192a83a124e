// Wine's script host creating and calling the control, as a page's script would.
function check(ok, what) {
  if (!ok) {
    WScript.Echo("FAIL: " + what);
    WScript.Quit(1);
  }
}
var upload = new ActiveXObject("upload_plugin_ie.Upload");
check(upload.GetPluginVersion() === "win_1.0.1026.4", "GetPluginVersion: " + upload.GetPluginVersion());
var account = upload.GetAccountInfo();
check(typeof account === "string" && account.split("|").length === 4, "GetAccountInfo: " + account);
upload.Login("nobody", "secret", 0, 0);
check(upload.GetAllowUpload() === 0, "GetAllowUpload before any login: " + upload.GetAllowUpload());
WScript.Echo("jscript: ok (" + account + ")");
