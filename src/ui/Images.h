// Norva's images, drawn by the program itself. Each index keeps its role across the program.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace norva::ui {

// imlToolbar: 22 low, 23 normal, 24 high priority; 32 and 33 the urgent-mail frames; 34 and 35
// the new-mail frames; 36 to 53 the checking frames; 55 the idle icon (also the window's icon).
QIcon ToolbarImage(int index);

// imlMail: row images 0 spam, 1 unknown, 2 safe; state images 3 deleted on the server,
// 4 archived, 5 retrieved.
QIcon MailImage(int index);

// imlStatus: drawn in the status bar's first panel: 0 idle, 1 busy.
QPixmap StatusImage(int index);

// The commands' images on the toolbars and menus.
enum class Command {
  CheckMail,
  ReadMsg,
  SendMsg,
  ReplyMsg,
  Archive,
  OpenArchive,
  Print,
  MarkSpam,
  MarkUnknown,
  MarkSafe,
  Delete,
  DeleteAllSpam,
  Config,
  Help,
  Logs,
  Cut,
  Copy,
  Paste,
  ShowHeader,
  Send,
  Attach,
  Detach,
  PrevMessage,
  NextMessage,
};
QIcon CommandImage(Command command);

}  // namespace norva::ui
