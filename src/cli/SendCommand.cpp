// norva-cli send: the message window's compose mode on a headless desktop. The message is built
// from the arguments, queued in "$OutBox.TMA" and the whole outbox is sent through the default
// mailbox's SMTP server; status messages go to standard error.
#include "cli/SendCommand.h"

#include <filesystem>
#include <ostream>
#include <stdexcept>

#include "app/Main.h"
#include "app/Msg.h"
#include "cli/CheckCommand.h"
#include "cli/CliText.h"
#include "cli/HeadlessMain.h"
#include "mail/mscharset.h"
#include "mail/msutils.h"
#include "store/QDB.h"

namespace norva::cli {

const char kSendHelp[] =
    "send: writes a message as the message window does and sends it through the outbox of the\n"
    "program folder (--folder DIR, else the program's own folder): from the user's name and the\n"
    "default mailbox's address, to ADDR (one or more of \"Name <addr>\" or a bare address,\n"
    "separated by commas or semicolons; a name with a comma goes in double quotes), with copies\n"
    "to the --cc list and blind copies to the --bcc list (both written like --to; the blind\n"
    "copies' addresses never appear in the message), the subject, the body read from a file\n"
    "(UTF-8, else read as Windows-1252; it goes as format=flowed text, lines of at most 72\n"
    "characters that readers join into the paragraphs again) and any number of attachments.\n"
    "--to may be left out when --cc or --bcc gives a recipient.\n"
    "The message is queued in $OutBox.TMA first; the whole outbox is then sent through the\n"
    "default mailbox's SMTP server and every sent message is kept in $Sent.TMA (one the sent\n"
    "archive will not take is kept as \"Unsaved sent N.eml\" in the folder). A message the\n"
    "server refuses for good, or that it may have taken without confirming it, is moved to\n"
    "$Failed.TMA (or, failing that, \"Unsent N.eml\") with an X-Norva-Failure line saying why;\n"
    "it is not sent again. Exit status 0 when the outbox was sent, 1 when the message could\n"
    "not be queued or something was not sent (a temporary refusal or a lost connection\n"
    "leaves it queued for the next send or check), 2 for bad arguments.\n";

namespace {

const char kUsage[] =
    "usage: norva-cli send [--folder DIR] --to ADDR[,ADDR...] [--cc ADDR[,ADDR...]] "
    "[--bcc ADDR[,ADDR...]] [--subject S] [--body-file F] [--attach F]...\n";

}  // namespace

int SendCommand(const std::vector<std::string>& args, std::ostream& err) {
  std::string folder, to, cc, bcc, subject, bodyFile;
  std::vector<std::string> attachments;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a != "--folder" && a != "--to" && a != "--cc" && a != "--bcc" && a != "--subject" &&
        a != "--body-file" && a != "--attach") {
      err << "norva-cli send: unexpected argument '" << Printable(a) << "'\n" << kUsage;
      return 2;
    }
    if (i + 1 >= args.size()) {
      err << "norva-cli send: " << a << " needs a value\n" << kUsage;
      return 2;
    }
    const std::string& value = args[++i];
    if (a == "--folder") folder = value;
    if (a == "--to") to = value;
    if (a == "--cc") cc = value;
    if (a == "--bcc") bcc = value;
    if (a == "--subject") subject = value;
    if (a == "--body-file") bodyFile = value;
    if (a == "--attach") attachments.push_back(value);
  }
  if (to.empty() && cc.empty() && bcc.empty()) {
    err << "norva-cli send: --to is required\n" << kUsage;
    return 2;
  }
  try {
    folder = UseConfiguredFolder(folder);
    HeadlessMain session(folder, "norva-cli send", err);
    TfrmMain& main = session.main;
    main.btnSendMsgClick();  // says so when there is no mailbox to send from
    TfrmMsg& window = *main.frmMsg;
    if (!window.Visible) return 1;
    // Text inside is UTF-8: arguments and a body file in another encoding are read as
    // Windows-1252, as raw mail headers are.
    window.edtMsgTo = RawToUtf8(to);
    window.edtMsgCc = RawToUtf8(cc);
    window.edtMsgBcc = RawToUtf8(bcc);
    window.edtMsgSubject = RawToUtf8(subject);
    if (!bodyFile.empty()) {
      TMemoryStream body;
      body.LoadFromFile(bodyFile);
      window.redMsg = SplitLines(RawToUtf8(body.Bytes()));
    }
    for (const std::string& path : attachments) {
      std::error_code error;
      const auto size = std::filesystem::file_size(path, error);
      if (error || !std::filesystem::is_regular_file(path))
        throw std::runtime_error("cannot attach " + path + ": " +
                                 (error ? error.message() : std::string("not a file")));
      window.lsvMsgAttach.push_back({path, std::to_string(size)});
    }
    window.btnSendClick();
    if (window.Visible) return 1;  // refused or not queued: the reason is on standard error
    if (session.desktop.Errors > 0) {
      TQDB outbox;
      outbox.SetReadOnly(true);
      outbox.SetFileName(folder + "/$OutBox.TMA");
      const int32_t queued = outbox.Count();
      CloseWithoutSaving(outbox);
      if (queued > 0)
        err << "norva-cli send: " << queued
            << (queued == 1 ? " message stays queued in the outbox and goes"
                            : " messages stay queued in the outbox and go")
            << " with the next send or check\n";
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    err << "norva-cli send: " << Printable(e.what()) << "\n";
    return 1;
  }
}

}  // namespace norva::cli
