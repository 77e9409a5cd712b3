// TfrmMsg: the message window's reading and compose modes, its placement and its commands.
#include "app/Msg.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <exception>
#include <filesystem>

#include "app/Main.h"
#include "app/Placement.h"
#include "app/Rules.h"
#include "config/BookPage.h"
#include "mail/msCls.h"
#include "mail/mscharset.h"

namespace norva {

namespace {

// "%41" and the like decoded, as UTF-8 (other bytes read as Windows-1252); control characters
// (a line break smuggled into a subject) become blanks.
std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      c = char(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    }
    out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
  }
  return RawToUtf8(out);
}

// The scheme of a URL in lower case ("" when it has none, as a relative link).
std::string UrlScheme(std::string_view url) {
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  std::string scheme;
  for (char c : url.substr(0, colon)) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return {};
    scheme += char(std::tolower(u));
  }
  return std::isalpha(static_cast<unsigned char>(scheme[0])) ? scheme : std::string();
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The addresses of the header fields called name, parsed as a reader parses To: groups give
// their members, names are decoded.
TmsAddressList FieldAddresses(THeaderLines headers, std::string_view name) {
  const std::string field = LowerAscii(name) + ":";
  TStringList lines;
  for (size_t i = 0; i < headers.size(); ++i) {
    if (LowerAscii(std::string_view(headers[i]).substr(0, field.size())) != field) continue;
    lines.push_back("To:" + std::string(headers[i].substr(field.size())));
    for (size_t k = i + 1; k < headers.size() && !headers[k].empty() &&
                           (headers[k][0] == ' ' || headers[k][0] == '\t');
         ++k)
      lines.emplace_back(headers[k]);
  }
  TmsMessage parsed;
  parsed.SetHeaderFields(lines);
  TmsAddressList list;
  list.Assign(parsed.Recipients);
  return list;
}

// Appends the list's mailboxes that are neither in seen nor empty to text (", " between them),
// and marks them seen.
void AppendNew(const TmsAddressList& list, std::vector<std::string>& seen, std::string& text) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    const std::string key = LowerAscii(Trim(list.Items(i).Address.str()));
    if (key.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    (text += text.empty() ? "" : ", ") += FormatMailbox(list.Items(i));
  }
}

}  // namespace

std::string TakeOutboxFields(TmsMessage& message) {
  // Every line of the field goes, however many there are. A blind copy whose address no longer
  // reads refuses the message: nobody would know that person got nothing.
  for (;;) {
    const std::string raw = GetFieldValue(message.Headers, kOutboxBccField);
    const size_t before = message.Headers.size();
    RemoveField(message.Headers, kOutboxBccField);
    if (message.Headers.size() == before) break;
    try {
      if (!Trim(raw).empty()) ParseAddressList(raw, message.BCC);
    } catch (const EAddressError& e) {
      throw EMessageError(std::string("A blind copy cannot be sent: ") + e.what());
    }
  }
  std::string account = Trim(GetFieldValue(message.Headers, kOutboxAccountField));
  for (size_t before = message.Headers.size() + 1; message.Headers.size() < before;) {
    before = message.Headers.size();
    RemoveField(message.Headers, kOutboxAccountField);
  }
  return account;
}

TReplyRecipients ReplyAllRecipients(THeaderLines originalHeaders,
                                    const std::vector<std::string>& ownAddresses) {
  std::vector<std::string> seen;
  for (const std::string& own : ownAddresses) seen.push_back(LowerAscii(Trim(own)));
  TmsAddressList answer = FieldAddresses(originalHeaders, "Reply-To");
  if (answer.Count() == 0) answer = FieldAddresses(originalHeaders, "From");
  TmsAddressList to = FieldAddresses(originalHeaders, "To");
  const TmsAddressList cc = FieldAddresses(originalHeaders, "Cc");
  TReplyRecipients result;
  // The user's own message (it answers nobody else): the reply goes to its recipients again.
  bool fromUser = true;
  for (int32_t i = 0; i < answer.Count(); ++i)
    if (std::find(seen.begin(), seen.end(), LowerAscii(Trim(answer.Items(i).Address.str()))) ==
        seen.end())
      fromUser = false;
  if (fromUser) {
    AppendNew(to, seen, result.To);
    AppendNew(cc, seen, result.Cc);
    return result;
  }
  AppendNew(answer, seen, result.To);
  AppendNew(to, seen, result.Cc);
  AppendNew(cc, seen, result.Cc);
  return result;
}

std::string AttributionLine(THeaderLines originalHeaders) {
  const TmsAddressList from = FieldAddresses(originalHeaders, "From");
  std::string name;
  if (from.Count() > 0) {
    name = Trim(from.Items(0).Name.str());
    if (name.empty()) name = Trim(from.Items(0).Address.str());
  }
  if (name.empty()) name = "Someone";
  const std::string date = LocalMailDate(GetFieldValue(originalHeaders, "Date"));
  return (date.empty() ? "" : "On " + date + ", ") + name + " wrote:";
}

std::string FormatMailbox(const TmsMailAddress& address) {
  std::string name = address.Name.str();
  const std::string& mailbox = address.Address.str();
  if (name.empty() || name == mailbox) return mailbox;
  if (mailbox.empty()) return name;
  if (name.find_first_of(",;<>@\"") != std::string::npos) {
    std::string quoted = "\"";
    for (char c : name) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    name = quoted + '"';
  }
  return name + " <" + mailbox + ">";
}

std::string FormatMailboxes(const TmsAddressList& list) {
  std::string text;
  for (int32_t i = 0; i < list.Count(); ++i)
    (text += text.empty() ? "" : ", ") += FormatMailbox(list.Items(i));
  return text;
}

std::string LocalMailDate(const std::string& text) {
  if (Trim(text).empty()) return {};
  const TDateTime local = MailDateToLocal(text);
  return local == 0 ? text : FormatDateTime(local);
}

TfrmMsg::TfrmMsg(Desktop& desktop, TfrmOptions& options, TfrmMain& main)
    : desktop_(desktop), options_(options), main_(main) {}

TIntegerKeys TfrmMsg::PlacementKeys() {
  return {{"Position/Msg-Left", &Left},
          {"Position/Msg-Top", &Top},
          {"Position/Msg-Width", &Width},
          {"Position/Msg-Height", &Height}};
}

void TfrmMsg::FormCreate() {
  int screenWidth = 0, screenHeight = 0;
  desktop_.ScreenSize(screenWidth, screenHeight);
  Left = screenWidth - kDesignWidth - 5;
  Top = 5;
  Width = kDesignWidth;
  Height = screenHeight - 25;
  ReadConfigIntegers(options_.ConfigFileName(), PlacementKeys());
  FitToScreen(Left, Width, screenWidth);
  FitToScreen(Top, Height, screenHeight);
  FillEdtMsgTo();
}

bool TfrmMsg::FormCloseQuery() {
  WriteConfigIntegers(options_, PlacementKeys());
  if (MsgWindowMode != 2 && MsgWindowMode != 3) return true;
  return desktop_.MessageBox("Exit message ?", "Confirm exit", Desktop::mbOK | Desktop::mbCancel,
                             Desktop::iconQuestion) == Desktop::mrOK;
}

void TfrmMsg::Close() {
  if (FormCloseQuery()) Visible = false;
}

std::string TfrmMsg::Draft() const {
  std::string draft = edtMsgFrom + '\n' + edtMsgTo + '\n' + edtMsgCc + '\n' + edtMsgBcc + '\n' +
                      edtMsgSubject + '\n';
  for (const std::string& line : redMsg) (draft += line) += '\n';
  for (const TAttachRow& row : lsvMsgAttach) (draft += '\0') += row.Caption;
  return draft;
}

bool TfrmMsg::HoldsUnsentText() const {
  return Visible && (MsgWindowMode == 2 || MsgWindowMode == 3) && Draft() != filled_;
}

bool TfrmMsg::MayDiscard() {
  if (!HoldsUnsentText()) return true;
  if (desktop_.MessageBox("Discard the message you are writing?", "Confirm",
                          Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo,
                          Desktop::iconQuestion) != Desktop::mrYes)
    return false;
  MarkUnchanged();  // asked once per command, however many steps it takes
  return true;
}

void TfrmMsg::FillEdtMsgTo() {
  edtMsgToItems = BookRecipients(options_.lsvBook);
}

void TfrmMsg::SetReadingMode(bool reading) {
  ReadOnly = reading;
  btnSend = btnCut = btnPaste = btnAttach = btnDeAttach = mnuAttach = mnuDetach = !reading;
  btnShowHeader = btnReply = btnReplyAll = mnuLaunch = reading;
  PriorityMenu = !reading;
  if (reading) return;
  edtMsgCc.clear();
  edtMsgBcc.clear();
  edtMsgDate.clear();
  redMsgHtml.clear();
  Caption = "New message";
}

void TfrmMsg::FillFromMessage(TmsMessage& message) {
  ShowingHeaders = false;
  TfrmMain::StringToString(message.Body, redMsg);
  redMsgHtml = message.Html;
  edtMsgFrom = FormatMailbox(message.Sender);
  edtMsgTo = FormatMailboxes(message.Recipients);
  edtMsgCc = FormatMailboxes(message.CC);
  edtMsgDate = LocalMailDate(GetFieldValue(message.Headers, "Date"));
  edtMsgSubject = message.Subject;
  lsvMsgAttach.clear();
  for (int32_t i = 0; i < message.Attachments.Count(); ++i) {
    TmsAttItem& item = message.Attachments.Items(i);
    lsvMsgAttach.push_back({item.FileName(), std::to_string(item.Data.Size())});
  }
  PriorityImage = kLowPriorityImage + message.Priority;
  SetReadingMode(true);
  Caption =
      "Reading: " + (message.Subject.empty() ? std::string("(no subject)") : message.Subject.str());
  MsgWindowMode = 1;
}

void TfrmMsg::ShowText(const TStringList& lines) {
  TfrmMain::StringToString(lines, redMsg);
  desktop_.ProcessMessages();
}

// ---- reading ----

void TfrmMsg::btnShowHeaderClick() {
  ShowingHeaders = !ShowingHeaders;
  TmsMessage* message = ShownMessage();
  if (!message) return;
  redMsgHtml = ShowingHeaders ? std::string() : message->Html;
  if (ShowingHeaders)
    ShowText(message->Headers.Lines());
  else
    ShowText(message->Body);
}

void TfrmMsg::btnNextMessageClick() {
  if (main_.Busy) return;
  const int32_t index = main_.SelectedIndex();
  if (index < 0) return;
  if (size_t(index) + 1 < main_.lsvMail.size()) {
    main_.lsvMail[size_t(index)].Selected = false;
    main_.lsvMail[size_t(index) + 1].Selected = true;
  }
  main_.lsvMailDblClick();
}

void TfrmMsg::btnPrevMessageClick() {
  if (main_.Busy) return;
  const int32_t index = main_.SelectedIndex();
  if (index < 0) return;
  if (index > 0) {
    main_.lsvMail[size_t(index)].Selected = false;
    main_.lsvMail[size_t(index) - 1].Selected = true;
  }
  main_.lsvMailDblClick();
}

TmsMessage* TfrmMsg::ShownMessage() const {
  // The shown row's own message: later retrievals (a rule reading during a check) must not
  // change what the window's commands act on.
  MessageListEntry* entry = main_.CurrentEntry;
  return entry && entry->BodyRetrieved ? entry->Message.get() : nullptr;
}

void TfrmMsg::btnReplyClick() {
  // The window stays usable while the main window works; its commands wait for it.
  if (main_.Busy) return;
  if (main_.CurrentEntry) main_.ReplyMsg(*main_.CurrentEntry);
}

void TfrmMsg::btnReplyAllClick() {
  if (main_.Busy) return;
  if (main_.CurrentEntry) main_.ReplyMsg(*main_.CurrentEntry, true);
}

void TfrmMsg::SelectFrom(int32_t index) {
  if (index < 0 || size_t(index) >= edtMsgFromItems.size() ||
      size_t(index) >= options_.lsvAddress.size())
    return;
  FromIndex = index;
  edtMsgFrom = edtMsgFromItems[size_t(index)];
  FromAccount = options_.lsvAddress[size_t(index)]->Address;
}

int32_t TfrmMsg::SelectedAttachment() const {
  for (size_t i = 0; i < lsvMsgAttach.size(); ++i)
    if (lsvMsgAttach[i].Selected) return int32_t(i);
  return -1;
}

void TfrmMsg::lsvMsgAttachDblClick() {
  const int32_t index = SelectedAttachment();
  TmsMessage* message = ShownMessage();
  if (index < 0 || !message || index >= message->Attachments.Count()) return;
  try {
    message->ExecuteAttachment(index);
  } catch (const std::exception& e) {
    main_.ShowError(e.what());
  }
}

void TfrmMsg::mnuAttachSaveAsClick() {
  const int32_t index = SelectedAttachment();
  TmsMessage* message = ShownMessage();
  if (index < 0 || !message || index >= message->Attachments.Count()) return;
  std::string path = ExtractFileName(message->Attachments.Items(index).FileName().str());
  if (!desktop_.SaveDialog("Save As", "All Files|*.*", path)) return;
  try {
    // The file goes exactly where the user said: the dialog offered the attachment's own name
    // (its last component only) and asked before replacing the file chosen.
    message->Attachments.Items(index).Data.SaveToFile(path);
  } catch (const std::exception& e) {
    main_.ShowError(e.what());
  }
}

void TfrmMsg::LinkClicked(const std::string& url) {
  const std::string scheme = UrlScheme(url);
  if (scheme == "http" || scheme == "https") {
    if (!desktop_.OpenUrl(url))
      desktop_.MessageBox("The browser could not be started for " + url, "Error", Desktop::mbOK,
                          Desktop::iconError);
    return;
  }
  if (scheme == "mailto") {
    // mailto:address[,address]?subject=...: a new message, as the New command writes one.
    if (main_.Busy || !main_.CheckForAddress()) return;
    const std::string_view rest = std::string_view(url).substr(scheme.size() + 1);
    const size_t query = rest.find('?');
    std::string subject;
    if (query != std::string_view::npos) {
      std::string_view fields = rest.substr(query + 1);
      while (!fields.empty()) {
        const std::string_view field = fields.substr(0, fields.find('&'));
        fields.remove_prefix(std::min(fields.size(), field.size() + 1));
        const size_t equals = field.find('=');
        if (equals != std::string_view::npos && Utf8Lower(field.substr(0, equals)) == "subject")
          subject = PercentDecoded(field.substr(equals + 1));
      }
    }
    if (!main_.ComposeTo(Trim(PercentDecoded(rest.substr(0, query))))) return;
    edtMsgSubject = TShortString(subject);
    MarkUnchanged();
    return;
  }
  desktop_.MessageBox(
      "Norva opens only web pages (http, https) and mail addresses from a message. This link "
      "was not opened:\n" +
          url,
      "Link", Desktop::mbOK, Desktop::iconWarning);
}

// ---- composing ----

void TfrmMsg::btnAttachClick() {
  std::string path;
  if (!desktop_.OpenDialog("Attach File", "All Files|*.*", path)) return;
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error || !std::filesystem::is_regular_file(path)) {
    main_.ShowError("Cannot attach " + path + ": " +
                    (error ? error.message() : std::string("not a file")));
    return;
  }
  lsvMsgAttach.push_back({path, std::to_string(size)});
}

void TfrmMsg::btnDeAttachClick() {
  for (int32_t index = SelectedAttachment(); index >= 0; index = SelectedAttachment())
    lsvMsgAttach.erase(lsvMsgAttach.begin() + index);
}

void TfrmMsg::N1LowestPriority1Click(int32_t tag) {
  if (tag >= kLowPriorityImage && tag <= kLowPriorityImage + 2) PriorityImage = tag;
}

bool TfrmMsg::CheckBox(const std::string& text, const char* control) {
  const size_t at = text.find('@');
  if (at != std::string::npos && at > 0) return true;
  desktop_.MessageBox("Invalid address, please check!", "Error", Desktop::mbOK, Desktop::iconError);
  FocusedControl = control;
  return false;
}

bool TfrmMsg::CheckAddress() {
  return CheckBox(edtMsgFrom, "edtMsgFrom");
}

bool TfrmMsg::CheckAddress2() {
  // Every address of each list must parse; the box names the first that does not. To may stay
  // empty when the message has copies to go to.
  const bool copies = !Trim(edtMsgCc).empty() || !Trim(edtMsgBcc).empty();
  const std::pair<const std::string*, const char*> boxes[] = {
      {&edtMsgTo, "edtMsgTo"}, {&edtMsgCc, "edtMsgCc"}, {&edtMsgBcc, "edtMsgBcc"}};
  for (const auto& [text, control] : boxes) {
    const bool to = text == &edtMsgTo;
    if (Trim(*text).empty() && (!to || copies)) continue;
    TmsAddressList recipients;
    try {
      ParseAddressList(*text, recipients);
    } catch (const EAddressError& e) {
      desktop_.MessageBox(e.what(), "Error", Desktop::mbOK, Desktop::iconError);
      FocusedControl = control;
      return false;
    }
  }
  return true;
}

void TfrmMsg::BuildMessage(TmsMessage& message) const {
  std::string address, name;
  SplitAddress(edtMsgFrom, address, name);
  message.Sender.Address = address;
  message.Sender.Name = name;
  message.Subject = edtMsgSubject;
  const std::pair<const std::string*, TmsAddressList*> lists[] = {
      {&edtMsgTo, &message.Recipients}, {&edtMsgCc, &message.CC}, {&edtMsgBcc, &message.BCC}};
  for (const auto& [text, list] : lists)
    if (!Trim(*text).empty()) ParseAddressList(*text, *list);
  message.Body.insert(message.Body.end(), redMsg.begin(), redMsg.end());
  message.Headers.push_back("X-Mailer: N o r v a");
  // The encoder never writes the blind copies; the outbox keeps them, one address a line.
  for (int32_t i = 0; i < message.BCC.Count(); ++i)
    message.Headers.push_back(std::string(kOutboxBccField) + ": <" +
                              message.BCC.Items(i).Address.str() + ">");
  if (!FromAccount.empty())
    message.Headers.push_back(std::string(kOutboxAccountField) + ": " + FromAccount);
  message.Headers.append(ReplyFields.begin(), ReplyFields.end());
  for (const TAttachRow& row : lsvMsgAttach) message.Attachments.AddFile(row.Caption);
  message.Priority = TPriority(PriorityImage - kLowPriorityImage);
}

void TfrmMsg::btnSendClick() {
  if (main_.Busy) {
    desktop_.MessageBox("Norva is busy checking or sending mail. Send the message when it is done.",
                        "Message Editor", Desktop::mbOK, Desktop::iconInformation);
    return;
  }
  if (!CheckAddress() || !CheckAddress2()) return;
  // The message is built while the window still holds it: an attachment that cannot be read
  // leaves everything as the user wrote it.
  MessageListEntry queued;
  queued.Message = std::make_unique<TmsMessage>();
  queued.BodyRetrieved = true;
  try {
    BuildMessage(*queued.Message);
  } catch (const std::exception& e) {
    main_.ShowError(e.what());
    return;
  }
  const uint8_t mode = MsgWindowMode;
  main_.LockWindow();
  MsgWindowMode = 0;
  Visible = false;
  desktop_.ProcessMessages();
  try {
    main_.ArchiveMsg(options_.Folder() + "/$OutBox.TMA", queued, false);
  } catch (const std::exception& e) {
    // Not queued: the window comes back with the message, so nothing is lost.
    MsgWindowMode = mode;
    Visible = true;
    main_.UnlockWindow();
    main_.ShowError(e.what());
    return;
  }
  try {
    main_.SendOutBox();
  } catch (const std::exception& e) {
    // The message stays queued and goes with the next run of the outbox.
    main_.UnlockWindow();
    main_.ShowError(e.what());
    return;
  }
  main_.UnlockWindow();
}

}  // namespace norva
