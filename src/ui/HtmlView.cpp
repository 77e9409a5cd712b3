// HtmlView: rendered HTML mail without remote content or scripts.
#include "ui/HtmlView.h"

#include <QByteArray>
#include <QTimer>
#include <QUrl>

#include "ui/Text.h"

namespace norva::ui {

HtmlView::HtmlView(QWidget* parent) : QTextBrowser(parent) {
  // Links are reported, never followed: the browser widget neither loads a page into itself
  // nor hands one to the desktop on its own.
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setLineWrapMode(QTextEdit::WidgetWidth);
  connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
    // A link within the message moves to its anchor.
    if (url.isRelative() && url.path().isEmpty() && url.hasFragment()) {
      scrollToAnchor(url.fragment());
      return;
    }
    // Handled once the click is over: a box opened inside the mouse release would leave the
    // view thinking the button is still down, and the next click would select text instead.
    QTimer::singleShot(0, this, [this, link = FromQt(url.toString(QUrl::FullyEncoded))] {
      if (OnLink) OnLink(link);
    });
  });
  // The address a link really leads to shows while the pointer is over it, whatever its text
  // claims.
  connect(this, QOverload<const QUrl&>::of(&QTextBrowser::highlighted), this,
          [this](const QUrl& url) { setToolTip(url.toString()); });
}

void HtmlView::SetMessageHtml(const std::string& html) {
  setHtml(ToQt(html));
  moveCursor(QTextCursor::Start);
}

QVariant HtmlView::loadResource(int, const QUrl&) {
  // An empty answer rather than none: with none, the document would read local files itself.
  return QByteArray();
}

}  // namespace norva::ui
