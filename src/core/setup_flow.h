// What the main dialog does, apart from drawing itself: the listing pass
// when it opens, the install pass and the run command when Install is
// pressed. Both hosts drive a setup through these three calls, so the stub
// and the publisher's tool install alike.
#pragma once

#include "setup_session.h"

namespace ebook {

// The last message of an install without a problem that starts no program,
// where the publisher asked for it: caption kSetupCaption, then the folder.
inline constexpr char kInstalledMessage[] = "The book was installed in:\n";

enum SetupState : int32_t {
  kSetupIdle = 0,
  kSetupInstalling = 1,
  kSetupFinished = 2,
  kSetupEnded = 3,  // the dialog was told to end; nothing more happens
};

// The dialog opens: the publisher's settings, default folder, ask before
// overwriting, the listing pass, and every entry marked pending.
void OpenSetup(SetupSession& session);

// Install was pressed. Ignored unless the setup is idle.
void RunInstall(SetupSession& session);

// Exit, Escape or the close box. Before the install it ends the setup;
// during the install it is ignored, unless the publisher chose to ask
// whether to stop: a Yes ends the install after the current file.
void ExitSetup(SetupSession& session);

// The setup's window could not be made (no display, no window station):
// nothing was installed, and that must not pass for success. The outcome
// says so, and so do the log (/LOG=) and, where one can still show, a
// message.
void EndWithoutWindow(SetupSession& session);

}  // namespace ebook
