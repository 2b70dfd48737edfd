#include "setup_flow.h"

#include "archive_pass.h"

namespace ebook {

void OpenSetup(SetupSession& session) {
  session.Host->SetControlText(kInstallPathEdit, session.DefaultInstallDir);
  session.OverwriteMode = kOverwriteAsk;
  RunArchivePass(session, true);
  session.Host->ListSelectAll();
}

void RunInstall(SetupSession& session) {
  if (session.InstallState != kSetupIdle) return;
  session.InstallState = kSetupInstalling;
  Platform& host = *session.Host;
  int32_t n = host.ControlText(kInstallPathEdit, session.InstallDir, kInstallDirSize);
  session.InstallDir[n < 0 ? 0 : n] = '\0';
  if (session.InstallDir[0] == '\0') {
    // An empty field means the current folder, shown so the user sees where.
    int32_t c = host.CurrentFolder(session.InstallDir, kInstallDirSize);
    if (c <= 0 || c >= kInstallDirSize) session.InstallDir[0] = '\0';
    host.SetControlText(kInstallPathEdit, session.InstallDir);
  }
  RunArchivePass(session, false);
  if (session.RunCommand[0] != '\0') {
    host.SetCurrentFolder(session.InstallDir);
    host.StartProgram(session.RunCommand, session.InstallDir);
  }
  session.InstallState = kSetupFinished;
}

void ExitSetup(SetupSession& session) {
  if (session.InstallState == kSetupIdle) session.InstallState = kSetupFinished;
}

}  // namespace ebook
