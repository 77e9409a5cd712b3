// The logic's text and the toolkit's: the logic keeps UTF-8, shown as such (a byte that is not
// UTF-8 shows as U+FFFD), and what the user types is stored as UTF-8.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace norva::ui {

QString ToQt(const std::string& text);
// Text for the eye only (the list, read-only fields, titles, the status bar, message boxes and
// notices): as ToQt, with direction controls shown as U+FFFD so that a name or subject shows in
// the order it was written.
QString ShownText(const std::string& text);
QString ShownLines(const std::vector<std::string>& lines);
std::string FromQt(const QString& text);
// Lines joined with "\n" for a text pane, and split back.
QString LinesToQt(const std::vector<std::string>& lines);
std::vector<std::string> LinesFromQt(const QString& text);

// Server replies, names and subjects reach labels, message boxes, balloons and tooltips, and none
// of them may be rendered as markup. Installed once on the application, this makes every label
// (Qt's own in message boxes, input dialogs and tooltips included) plain text before it is first
// shown. HTML is rendered only by the message viewer, which is not a label.
void InstallPlainTextLabels();

}  // namespace norva::ui
