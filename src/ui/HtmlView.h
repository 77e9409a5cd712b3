// HtmlView: a read-only pane that renders a message's HTML with nothing fetched from anywhere.
#pragma once

#include <QTextBrowser>
#include <functional>
#include <string>

namespace norva::ui {

class HtmlView : public QTextBrowser {
  Q_OBJECT

 public:
  explicit HtmlView(QWidget* parent = nullptr);

  // Shows html (UTF-8) from the top.
  void SetMessageHtml(const std::string& html);
  // A link was clicked (never merely shown or hovered): its address, encoded.
  std::function<void(const std::string& url)> OnLink;

  // Images, style sheets and frames referred to by the message are never loaded: not from the
  // network, and not from local files a hostile message names. They show as their alternative
  // text.
  QVariant loadResource(int type, const QUrl& name) override;
};

}  // namespace norva::ui
