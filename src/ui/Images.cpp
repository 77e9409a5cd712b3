// Norva's images, drawn with QPainter on a 16-unit grid at 16 and 32 pixels and kept once drawn.
#include "ui/Images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>
#include <functional>
#include <map>
#include <numbers>

namespace norva::ui {

namespace {

using Draw = std::function<void(QPainter&)>;

// Norva's own colour and the palette the images share.
const QColor kTeal(0x0f, 0x8b, 0x8d);
const QColor kTealLight(0xcf, 0xee, 0xee);
const QColor kInk(0x33, 0x3d, 0x47);
const QColor kPaper(0xfb, 0xfb, 0xf8);
const QColor kRed(0xd3, 0x2f, 0x2f);
const QColor kRedLight(0xf8, 0xd4, 0xd4);
const QColor kGreen(0x2e, 0x9d, 0x3f);
const QColor kBlue(0x1f, 0x6f, 0xc5);
const QColor kGrey(0x8a, 0x8f, 0x96);
const QColor kAmber(0xf0, 0xa2, 0x1a);
const QColor kYellow(0xff, 0xd8, 0x3a);
const QColor kBrown(0xb0, 0x7a, 0x3c);
const QColor kTan(0xe8, 0xc8, 0x8c);

// A transparent pixmap of size × size with the drawing scaled from the 16-unit grid. One unit
// pens centred on half units land on whole pixels at both sizes, which keeps the lines crisp.
QPixmap Render(const Draw& draw, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 16.0, size / 16.0);
  if (draw) draw(painter);
  return pixmap;
}

QIcon MakeIcon(const Draw& draw) {
  QIcon icon;
  icon.addPixmap(Render(draw, 16));
  icon.addPixmap(Render(draw, 32));
  return icon;
}

QPen Pen(const QColor& color, double width = 1.0) {
  return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// ---- shared shapes ----

void Envelope(QPainter& p, const QRectF& r, const QColor& fill, const QColor& line) {
  p.setPen(Pen(line));
  p.setBrush(fill);
  p.drawRect(r);
  p.setBrush(Qt::NoBrush);
  const QPointF middle(r.center().x(), r.top() + r.height() * 0.55);
  p.drawPolyline(QPolygonF({r.topLeft(), middle, r.topRight()}));
}

void Envelope(QPainter& p, const QColor& fill, const QColor& line) {
  Envelope(p, QRectF(1.5, 3.5, 13, 9), fill, line);
}

// A filled disc.
void Badge(QPainter& p, const QPointF& centre, double radius, const QColor& fill) {
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawEllipse(centre, radius, radius);
}

// "!" as a bar and a dot, so it looks the same whatever fonts the system has.
void Exclamation(QPainter& p, double x, double top, double bottom, const QColor& color,
                 double width = 2.0) {
  p.setPen(Pen(color, width));
  p.drawLine(QPointF(x, top), QPointF(x, bottom - width * 1.5));
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(QPointF(x, bottom - width * 0.5), width * 0.55, width * 0.55);
}

void Question(QPainter& p, const QPointF& centre, double scale, const QColor& color) {
  QPainterPath hook;
  hook.moveTo(centre + QPointF(-2.2, -1.6) * scale);
  hook.cubicTo(centre + QPointF(-2.2, -4.4) * scale, centre + QPointF(2.6, -4.4) * scale,
               centre + QPointF(2.3, -1.8) * scale);
  hook.cubicTo(centre + QPointF(2.1, -0.2) * scale, centre + QPointF(0, -0.2) * scale,
               centre + QPointF(0, 1.4) * scale);
  p.setPen(Pen(color, 1.6 * scale));
  p.setBrush(Qt::NoBrush);
  p.drawPath(hook);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(centre + QPointF(0, 3.4) * scale, 0.95 * scale, 0.95 * scale);
}

void Check(QPainter& p, const QPointF& centre, double scale, const QColor& color) {
  p.setPen(Pen(color, 1.8 * scale));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({centre + QPointF(-3, 0) * scale, centre + QPointF(-1, 2.2) * scale,
                            centre + QPointF(3.2, -2.4) * scale}));
}

void Cross(QPainter& p, const QRectF& r, const QColor& color, double width) {
  p.setPen(Pen(color, width));
  p.drawLine(r.topLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomLeft());
}

// An arrow from `from` to `to` with a filled head.
void Arrow(QPainter& p, const QPointF& from, const QPointF& to, const QColor& color,
           double width = 1.6, double head = 3.2) {
  const QPointF d = to - from;
  const double length = std::hypot(d.x(), d.y());
  if (length <= 0) return;
  const QPointF u = d / length;
  const QPointF n(-u.y(), u.x());
  const QPointF base = to - u * head;
  p.setPen(Pen(color, width));
  p.drawLine(from, base);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawPolygon(QPolygonF({to, base + n * head * 0.8, base - n * head * 0.8}));
}

void Box(QPainter& p) {
  p.setPen(Pen(kBrown.darker(140)));
  p.setBrush(kTan);
  p.drawRect(QRectF(2.5, 6.5, 11, 7));
  p.setBrush(kBrown);
  p.drawRect(QRectF(1.5, 3.5, 13, 3));
  p.setPen(Pen(kBrown.darker(160), 1.2));
  p.drawLine(QPointF(6.5, 9), QPointF(9.5, 9));
}

void Page(QPainter& p, const QRectF& r, int lines) {
  p.setPen(Pen(kInk));
  p.setBrush(kPaper);
  p.drawRect(r);
  p.setPen(Pen(kGrey));
  for (int i = 0; i < lines; ++i) {
    const double y = r.top() + 2 + i * 2;
    if (y > r.bottom() - 1) break;
    p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2, y));
  }
}

void Paperclip(QPainter& p, const QColor& color) {
  QPainterPath clip;
  clip.moveTo(10.5, 5);
  clip.lineTo(10.5, 11.5);
  clip.arcTo(QRectF(5.5, 9, 5, 5), 0, -180);
  clip.lineTo(5.5, 3.5);
  clip.arcTo(QRectF(5.5, 1.5, 3.5, 3.5), 180, -180);
  clip.lineTo(9, 10.5);
  clip.arcTo(QRectF(7.25, 9.5, 1.75, 1.75), 0, -180);
  clip.lineTo(7.25, 5);
  p.setPen(Pen(color, 1.1));
  p.setBrush(Qt::NoBrush);
  p.drawPath(clip);
}

// ---- toolbar images ----

void UrgentFrame(QPainter& p, bool bright) {
  Envelope(p, bright ? kPaper : QColor(0xe4, 0xe4, 0xe0), bright ? kInk : kGrey);
  Badge(p, QPointF(11.5, 11.5), 4.2, bright ? kRed : kRedLight);
  Exclamation(p, 11.5, 8.4, 14.8, bright ? Qt::white : kRed, 1.6);
}

void NewFrame(QPainter& p, bool yellow) {
  Envelope(p, yellow ? kYellow : Qt::white, kInk);
}

// The checking frames: the envelope with a dot travelling round it, 20 degrees a frame, and a
// short fading arc behind the dot.
void CheckingFrame(QPainter& p, int frame) {
  Envelope(p, QRectF(3.5, 5.5, 9, 6), kTealLight, kTeal);
  const QPointF centre(8, 8);
  const double radius = 6.5;
  const double angle = frame * 20.0;  // clockwise from the top
  const QRectF ring(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
  p.setBrush(Qt::NoBrush);
  p.setPen(Pen(QColor(kAmber.red(), kAmber.green(), kAmber.blue(), 110), 1.2));
  // Qt's arcs run counter-clockwise from three o'clock in sixteenths of a degree.
  p.drawArc(ring, int((90 - angle) * 16), 70 * 16);
  const double radians = angle * std::numbers::pi / 180.0;
  const QPointF dot(centre.x() + radius * std::sin(radians),
                    centre.y() - radius * std::cos(radians));
  p.setPen(Pen(Qt::white, 0.8));
  p.setBrush(kAmber.darker(110));
  p.drawEllipse(dot, 1.7, 1.7);
}

void Priority(QPainter& p, int index) {
  switch (index) {
    case 22:
      Arrow(p, QPointF(8, 2.5), QPointF(8, 13.5), kBlue, 2.2, 5);
      break;
    case 23:
      Badge(p, QPointF(8, 8), 3.2, kGrey);
      break;
    default:
      Exclamation(p, 8, 2, 14, kRed, 2.6);
      break;
  }
}

// ---- mail images ----

void Spam(QPainter& p) {
  Envelope(p, kRedLight, kRed.darker(120));
  p.setPen(Pen(kRed, 2));
  p.drawLine(QPointF(2.5, 14), QPointF(13.5, 2));
}

void Unknown(QPainter& p) {
  Badge(p, QPointF(8, 8), 7, kGrey);
  Question(p, QPointF(8, 7.6), 1.0, Qt::white);
}

void Safe(QPainter& p) {
  Badge(p, QPointF(8, 8), 7, kGreen);
  Check(p, QPointF(8, 8), 1.1, Qt::white);
}

void DrawMail(QPainter& p, int index) {
  switch (index) {
    case 0:
      Spam(p);
      break;
    case 1:
      Unknown(p);
      break;
    case 2:
      Safe(p);
      break;
    case 3:
      Cross(p, QRectF(4.5, 4.5, 7, 7), kRed, 2);
      break;
    case 4:  // a small drawer
      p.setPen(Pen(kBrown.darker(140)));
      p.setBrush(kTan);
      p.drawRect(QRectF(3.5, 5.5, 9, 7));
      p.drawLine(QPointF(3.5, 8.5), QPointF(12.5, 8.5));
      p.setPen(Pen(kBrown.darker(160), 1.2));
      p.drawLine(QPointF(7, 10.5), QPointF(9, 10.5));
      break;
    case 5:  // down into a tray
      Arrow(p, QPointF(8, 3), QPointF(8, 10.5), kGreen, 1.6, 3.4);
      p.setPen(Pen(kInk, 1.2));
      p.drawPolyline(QPolygonF(
          {QPointF(3.5, 10), QPointF(3.5, 12.5), QPointF(12.5, 12.5), QPointF(12.5, 10)}));
      break;
  }
}

// ---- command images ----

void Gear(QPainter& p) {
  QPainterPath gear;
  const QPointF c(8, 8);
  const int teeth = 8;
  for (int i = 0; i < teeth * 4; ++i) {
    // Each tooth: two points at the outer radius, two at the inner one.
    const double a = (i / double(teeth * 4)) * 2 * std::numbers::pi;
    const double r = (i % 4 < 2) ? 7.0 : 5.2;
    const QPointF point(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    if (i == 0)
      gear.moveTo(point);
    else
      gear.lineTo(point);
  }
  gear.closeSubpath();
  gear.addEllipse(c, 2.2, 2.2);
  gear.setFillRule(Qt::OddEvenFill);
  p.setPen(Pen(kInk, 0.8));
  p.setBrush(kGrey);
  p.drawPath(gear);
}

void Printer(QPainter& p) {
  p.setPen(Pen(kInk));
  p.setBrush(kPaper);
  p.drawRect(QRectF(4.5, 1.5, 7, 5));
  p.setBrush(kGrey);
  p.drawRect(QRectF(1.5, 6.5, 13, 5));
  p.setBrush(kPaper);
  p.drawRect(QRectF(4.5, 9.5, 7, 5));
  p.setPen(Pen(kGrey));
  p.drawLine(QPointF(6, 11.5), QPointF(10, 11.5));
  p.drawLine(QPointF(6, 13), QPointF(10, 13));
  p.setPen(Qt::NoPen);
  p.setBrush(kGreen);
  p.drawEllipse(QPointF(12.5, 8.2), 0.8, 0.8);
}

void Scissors(QPainter& p) {
  p.setPen(Pen(kInk, 1.2));
  p.drawLine(QPointF(4.5, 1.5), QPointF(10.5, 10));
  p.drawLine(QPointF(11.5, 1.5), QPointF(5.5, 10));
  p.setPen(Pen(kRed, 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QPointF(4.5, 12), 2.2, 2.2);
  p.drawEllipse(QPointF(11.5, 12), 2.2, 2.2);
}

void Clipboard(QPainter& p) {
  p.setPen(Pen(kBrown.darker(140)));
  p.setBrush(kTan);
  p.drawRoundedRect(QRectF(2.5, 2.5, 10, 12), 1, 1);
  Page(p, QRectF(6.5, 5.5, 8, 9), 4);
  p.setPen(Pen(kInk));
  p.setBrush(kGrey);
  p.drawRect(QRectF(5.5, 1.5, 4, 2));
}

void Letter(QPainter& p) {
  // An opened envelope with the letter standing out of it.
  p.setPen(Pen(kInk));
  p.setBrush(kPaper);
  p.drawRect(QRectF(3.5, 1.5, 9, 8));
  p.setPen(Pen(kGrey));
  p.drawLine(QPointF(5, 4), QPointF(11, 4));
  p.drawLine(QPointF(5, 6), QPointF(11, 6));
  p.setPen(Pen(kInk));
  p.setBrush(kTealLight);
  p.drawPolygon(QPolygonF({QPointF(1.5, 6.5), QPointF(8, 10.5), QPointF(14.5, 6.5),
                           QPointF(14.5, 14.5), QPointF(1.5, 14.5)}));
  p.drawLine(QPointF(1.5, 14.5), QPointF(6.5, 10));
  p.drawLine(QPointF(14.5, 14.5), QPointF(9.5, 10));
}

void Pencil(QPainter& p) {
  p.setPen(Pen(kInk, 0.8));
  p.setBrush(kAmber);
  p.drawPolygon(
      QPolygonF({QPointF(4, 10), QPointF(11.5, 2.5), QPointF(13.5, 4.5), QPointF(6, 12)}));
  p.setBrush(kTan);
  p.drawPolygon(QPolygonF({QPointF(4, 10), QPointF(6, 12), QPointF(2, 14)}));
  p.setPen(Pen(kInk, 1));
  p.drawLine(QPointF(8, 14.5), QPointF(14.5, 14.5));
}

void Reply(QPainter& p) {
  QPainterPath curve;
  curve.moveTo(13.5, 13);
  curve.cubicTo(13.5, 7, 10, 6, 5.5, 6);
  p.setPen(Pen(kBlue, 1.8));
  p.setBrush(Qt::NoBrush);
  p.drawPath(curve);
  p.setPen(Qt::NoPen);
  p.setBrush(kBlue);
  p.drawPolygon(QPolygonF({QPointF(1.5, 6), QPointF(6.5, 2), QPointF(6.5, 10)}));
}

void Folder(QPainter& p) {
  p.setPen(Pen(kBrown.darker(130)));
  p.setBrush(kTan);
  p.drawPolygon(QPolygonF({QPointF(1.5, 3.5), QPointF(6, 3.5), QPointF(7.5, 5), QPointF(13.5, 5),
                           QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
  p.setBrush(kYellow);
  p.drawPolygon(
      QPolygonF({QPointF(1.5, 13.5), QPointF(3.5, 7.5), QPointF(15, 7.5), QPointF(13.5, 13.5)}));
}

void LetterH(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.drawRect(QRectF(3, 2, 2.6, 12));
  p.drawRect(QRectF(10.4, 2, 2.6, 12));
  p.drawRect(QRectF(5, 6.8, 6, 2.4));
}

void PaperPlane(QPainter& p) {
  p.setPen(Pen(kBlue.darker(130), 0.8));
  p.setBrush(QColor(0xd6, 0xe6, 0xfa));
  p.drawPolygon(QPolygonF({QPointF(1, 7.5), QPointF(15, 1.5), QPointF(11, 14), QPointF(7.5, 10)}));
  p.setBrush(kBlue);
  p.drawPolygon(QPolygonF({QPointF(15, 1.5), QPointF(7.5, 10), QPointF(6.5, 14.5)}));
}

void DrawCommand(QPainter& p, Command command) {
  switch (command) {
    case Command::CheckMail:
      Envelope(p, QRectF(0.5, 2.5, 11, 8), kTealLight, kTeal);
      Arrow(p, QPointF(12, 6), QPointF(12, 15), kGreen, 2, 3.6);
      break;
    case Command::ReadMsg:
      Letter(p);
      break;
    case Command::SendMsg:
      Pencil(p);
      break;
    case Command::ReplyMsg:
      Reply(p);
      break;
    case Command::Archive:
      Box(p);
      break;
    case Command::OpenArchive:
      Folder(p);
      break;
    case Command::Print:
      Printer(p);
      break;
    case Command::MarkSpam:
      Spam(p);
      break;
    case Command::MarkUnknown:
      Unknown(p);
      break;
    case Command::MarkSafe:
      Safe(p);
      break;
    case Command::Delete:
      Cross(p, QRectF(3, 3, 10, 10), kRed, 2.4);
      break;
    case Command::DeleteAllSpam:
      Cross(p, QRectF(1.5, 2, 7, 7), kRed, 2);
      Cross(p, QRectF(7.5, 7, 7, 7), kRed, 2);
      break;
    case Command::Config:
      Gear(p);
      break;
    case Command::Help:
      Badge(p, QPointF(8, 8), 7, kBlue);
      Question(p, QPointF(8, 7.6), 1.0, Qt::white);
      break;
    case Command::Logs:
      Page(p, QRectF(2.5, 1.5, 11, 13), 6);
      break;
    case Command::Cut:
      Scissors(p);
      break;
    case Command::Copy:
      Page(p, QRectF(1.5, 1.5, 8, 10), 4);
      Page(p, QRectF(6.5, 4.5, 8, 10), 4);
      break;
    case Command::Paste:
      Clipboard(p);
      break;
    case Command::ShowHeader:
      LetterH(p);
      break;
    case Command::Send:
      PaperPlane(p);
      break;
    case Command::Attach:
      Paperclip(p, kInk);
      break;
    case Command::Detach:
      Paperclip(p, kGrey);
      p.setPen(Pen(kRed, 1.8));
      p.drawLine(QPointF(2.5, 13.5), QPointF(13.5, 2.5));
      break;
    case Command::PrevMessage:
      Arrow(p, QPointF(14, 8), QPointF(2, 8), kBlue, 2.2, 6);
      break;
    case Command::NextMessage:
      Arrow(p, QPointF(2, 8), QPointF(14, 8), kBlue, 2.2, 6);
      break;
  }
}

void DrawToolbar(QPainter& p, int index) {
  if (index >= 22 && index <= 24) {
    Priority(p, index);
  } else if (index == 32 || index == 33) {
    UrgentFrame(p, index == 32);
  } else if (index == 34 || index == 35) {
    NewFrame(p, index == 34);
  } else if (index >= 36 && index <= 53) {
    CheckingFrame(p, index - 36);
  } else if (index == 55) {
    Envelope(p, kTealLight, kTeal.darker(120));
    p.setPen(Pen(kTeal, 1));
    p.drawLine(QPointF(3.5, 10.5), QPointF(6, 8.2));
    p.drawLine(QPointF(12.5, 10.5), QPointF(10, 8.2));
  }
  // Any other index stays blank.
}

// Icons drawn on first use and kept for the program's life; never freed, so nothing of Qt is
// destroyed after the application object.
template <typename Key>
const QIcon& Cached(const Key& key, const std::function<QIcon()>& make) {
  static auto* cache = new std::map<Key, QIcon>;
  auto it = cache->find(key);
  if (it == cache->end()) it = cache->emplace(key, make()).first;
  return it->second;
}

struct ToolbarKey {
  int index;
  auto operator<=>(const ToolbarKey&) const = default;
};
struct MailKey {
  int index;
  auto operator<=>(const MailKey&) const = default;
};

}  // namespace

QIcon ToolbarImage(int index) {
  return Cached(ToolbarKey{index},
                [index] { return MakeIcon([index](QPainter& p) { DrawToolbar(p, index); }); });
}

QIcon MailImage(int index) {
  if (index < 0 || index > 5) return QIcon();
  return Cached(MailKey{index},
                [index] { return MakeIcon([index](QPainter& p) { DrawMail(p, index); }); });
}

QPixmap StatusImage(int index) {
  static auto* cache = new std::map<int, QPixmap>;
  const int key = (index == 0 || index == 1) ? index : -1;
  auto it = cache->find(key);
  if (it != cache->end()) return it->second;
  const QPixmap pixmap = Render(
      [key](QPainter& p) {
        if (key == 0) {
          Badge(p, QPointF(8, 8), 4.5, kGreen);
          Badge(p, QPointF(6.8, 6.8), 1.4, kGreen.lighter(150));
        } else if (key == 1) {  // an hourglass
          p.setPen(Pen(kAmber.darker(150), 1));
          p.setBrush(kAmber);
          p.drawPolygon(QPolygonF({QPointF(4.5, 2.5), QPointF(11.5, 2.5), QPointF(8, 8),
                                   QPointF(11.5, 13.5), QPointF(4.5, 13.5), QPointF(8, 8)}));
          p.setPen(Pen(kInk, 1.2));
          p.drawLine(QPointF(3.5, 2), QPointF(12.5, 2));
          p.drawLine(QPointF(3.5, 14), QPointF(12.5, 14));
        }
      },
      16);
  cache->emplace(key, pixmap);
  return pixmap;
}

QIcon CommandImage(Command command) {
  return Cached(
      command, [command] { return MakeIcon([command](QPainter& p) { DrawCommand(p, command); }); });
}

}  // namespace norva::ui
