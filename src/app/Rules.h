// The filter and action tables of the mail rules (captions as the rule editor shows them and the
// rule log writes them, and the kind of parameter each takes), the split of a header value into
// its bare address and the rest, and TfrmRule, the rule editor dialog's logic.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/Options.h"

namespace norva {

// Parameter kinds: none, typed text, or a name picked from the check lists / the templates.
enum TRuleParamKind : uint8_t { pkNone = 0, pkText = 1, pkNamed = 2 };

// Captions by filter code; the trailing blanks are part of them (the log appends the parameter).
inline constexpr std::array<const char*, kFilterTypeCount> kFilterCaptions = {
    "\"From:\" address is equal to: ",
    "\"From:\" domain is equal to: ",
    "\"Subject:\" contains string: ",
    "\"To:\" address contains string: ",
    "\"To:\" address different from \"Mail-For:\" address ",
    "\"To:\" address and \"Reply-To:\" address are equal ",
    "\"From:\" address and \"Reply-To:\" address are different ",
    "\"To:\" address and \"From:\" address are equal ",
    "Message contains header of type: ",
    "A message header contains string: ",
    "\"X-Mailer:\" contains string: ",
    "\"X-Distribution:\" contains string: ",
    "Message size greater than: ",
    "Message Spam-Pound greater than: ",
    "\"From:\" address is present in Check List: ",
    "\"To:\" address is present in Check List: ",
    "\"Subject:\" contains a string in Check List: ",
    "\"To:\" address is absent",
    "Message size less than: ",
    "All messages",
    "Message contains header in Check List: ",
    "A message header contains string in Check List: ",
    "\"To:\" address is NOT present in Check List: ",
    "Learned spam probability greater than: ",
};

inline constexpr std::array<TRuleParamKind, kFilterTypeCount> kFilterParamKinds = {
    pkText,  pkText,  pkText,  pkText, pkNone, pkNone, pkNone, pkNone,  // 0-7
    pkText,  pkText,  pkText,  pkText, pkText, pkText,                  // 8-13
    pkNamed, pkNamed, pkNamed, pkNone, pkText, pkNone,                  // 14-19
    pkNamed, pkNamed, pkNamed, pkText,                                  // 20-23
};

inline constexpr uint8_t kMarkSpamAction = 1;

inline constexpr std::array<const char*, kActionTypeCount> kActionCaptions = {
    "Delete the message",         // 0
    "Mark message as spam ",      // 1
    "Mark message as safe",       // 2
    "Mark message as urgent ",    // 3
    "Add Spam-Pound by: ",        // 4
    "Archive message to file: ",  // 5
    "Reply with template: ",      // 6
    "Read message.",              // 7
};

inline constexpr std::array<TRuleParamKind, kActionTypeCount> kActionParamKinds = {
    pkNone, pkNone, pkNone, pkNone, pkText, pkText, pkNamed, pkNone,
};

// The caption of a code, "" for a code outside the table.
inline std::string_view FilterCaption(uint8_t code) {
  return code < kFilterCaptions.size() ? kFilterCaptions[code] : "";
}
inline std::string_view ActionCaption(uint8_t code) {
  return code < kActionCaptions.size() ? kActionCaptions[code] : "";
}

// Splits a header value or address box text. With an "@": address is the run around the first
// "@", bounded on the left by a blank, "<", a double quote or an apostrophe and on the right by a
// blank, ">", a double quote or an apostrophe; name is the text without it.
// Without one: address is the text up to and including the first blank, ">", double quote or
// apostrophe (the whole text when there is none), and name is the whole text. A "<>" left in the
// name is removed once; both are trimmed. An empty text gives two empty strings.
void SplitAddress(std::string_view text, std::string& address, std::string& name);

// The rule editor: one filter and one action picked from the tables above, with their parameters.
// The parameter widgets shown follow the kind of the selected code: none, the text field, or the
// drop-down list of check-list names (filters) or template names (actions).
class TfrmRule {
 public:
  // Runs FormCreate.
  explicit TfrmRule(TfrmOptions& options);

  TfrmOptions& frmOptions;

  // The rule the editor starts from for Add: it marks as spam, since a rule that deletes on
  // the server should be chosen, not fallen into.
  static MailRule NewRule();

  // ---- the " Event " group ----
  std::vector<std::string> lstFilter;  // the captions, by filter code
  int32_t lstFilterIndex = -1;
  bool lblFilterVisible = false, edtFilterVisible = false, cmbFilterVisible = false;
  std::string edtFilter;
  TComboModel cmbFilter;  // check-list names
  std::string memFilter;  // the selected filter's description

  // ---- the " Action " group ----
  std::vector<std::string> lstAction;  // the captions, by action code
  int32_t lstActionIndex = -1;
  bool lblActionVisible = false, edtActionVisible = false, cmbActionVisible = false;
  std::string edtAction;
  TComboModel cmbAction;  // template names
  std::string memAction;  // the selected action's description

  void FormCreate();
  // Refill the drop-down lists from the check lists / the templates, first entry selected.
  void reloadCmbFilter();
  void reloadCmbAction();
  // Show the selected code's description and the parameter widgets of its kind.
  void lstFilterClick();
  void lstActionClick();

  // Puts a rule into the fields: both codes selected, each parameter in the widget of its kind
  // (a name that is not offered leaves the drop-down list without a selection). An empty
  // MailRule resets the dialog for a new rule.
  void LoadRule(const MailRule& rule);
  // The rule the fields describe. Each parameter comes from the widget of its kind: "" for none,
  // the text field, or the selected name ("" when the list is empty or nothing is selected).
  // Whether the rule may be stored is RuleError's to say.
  MailRule BuildRule() const;
};

}  // namespace norva
