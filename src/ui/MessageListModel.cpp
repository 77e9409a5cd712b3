// MessageListModel: the message list's rows as a Qt table model.
#include "ui/MessageListModel.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

#include "ui/Images.h"
#include "ui/Text.h"

namespace norva::ui {

namespace {

const char* const kColumns[] = {"Sender", "Subject", "Date", "Size", "SP"};

constexpr int kUrgentWidth = 8;

// The row's image, with its state image (deleted, archived, retrieved) before it, and before
// that a red "!" on urgent messages.
QIcon RowIcon(int image, int state, bool urgent) {
  // Kept for the whole run (never destroyed after the application object).
  static auto* cache = new QIcon[2][3][4];
  if (image < 0 || image > 2) image = 1;
  const int slot = state >= 3 && state <= 5 ? state - 2 : 0;
  QIcon& icon = cache[urgent][image][slot];
  if (icon.isNull()) {
    QPixmap pixmap(kUrgentWidth + 32, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (urgent) {
      QFont font = painter.font();
      font.setBold(true);
      font.setPixelSize(14);
      painter.setFont(font);
      painter.setPen(QColor(200, 0, 0));
      painter.drawText(QRect(0, 0, kUrgentWidth, 16), Qt::AlignCenter, "!");
    }
    if (slot > 0) painter.drawPixmap(kUrgentWidth, 0, MailImage(state).pixmap(16, 16));
    painter.drawPixmap(kUrgentWidth + 16, 0, MailImage(image).pixmap(16, 16));
    painter.end();
    icon = QIcon(pixmap);
  }
  return icon;
}

}  // namespace

MessageListModel::MessageListModel(TfrmMain& main, QObject* parent)
    : QAbstractTableModel(parent), main_(main) {
  Sync();
}

int MessageListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(shown_.size());
}

int MessageListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 5;
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
  const int logic = index.isValid() ? LogicRow(index.row()) : -1;
  if (logic < 0 || size_t(logic) >= main_.lsvMail.size()) return {};
  const TListRow& row = main_.lsvMail[size_t(logic)];
  const MessageListEntry* entry = row.Data.get();
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole: {
      if (column == 0) return ShownText(row.Caption);
      const size_t sub = size_t(column - 1);
      return sub < row.SubItems.size() ? ShownText(row.SubItems[sub]) : QString();
    }
    case Qt::DecorationRole:
      return column == 0 ? RowIcon(row.ImageIndex, row.StateIndex, entry && entry->Urgent)
                         : QVariant();
    case Qt::FontRole:
      if (entry && entry->Unread) {
        QFont font;
        font.setBold(true);
        return font;
      }
      return {};
    case Qt::ToolTipRole:
      return column == 0 && entry && entry->Urgent ? QString("Urgent") : QVariant();
    case Qt::TextAlignmentRole:
      return column >= 3 ? int(Qt::AlignRight | Qt::AlignVCenter)
                         : int(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= 5) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kColumns[section]);
  if (role == Qt::TextAlignmentRole && section >= 3) return int(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

MessageListModel::Look MessageListModel::LookOf(const TListRow& row) {
  const MessageListEntry* entry = row.Data.get();
  return {row.Caption,       row.SubItems, row.ImageIndex, row.StateIndex,
          entry && entry->Unread, entry && entry->Urgent};
}

bool MessageListModel::Sync(int first, int last) {
  const auto& rows = main_.lsvMail;
  const bool all = !main_.Filtering();
  std::vector<size_t> visible;
  visible.reserve(all ? rows.size() : rows_.size());
  modelRows_.assign(rows.size(), -1);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!all && !main_.RowVisible(rows[i])) continue;
    modelRows_[i] = int(visible.size());
    visible.push_back(i);
  }
  const size_t known = shown_.size();
  bool prefix = visible.size() >= known;
  for (size_t i = 0; prefix && i < known; ++i) prefix = rows[visible[i]].Data.get() == shown_[i];
  if (!prefix) {
    beginResetModel();
    rows_ = std::move(visible);
    shown_.clear();
    for (size_t i : rows_) shown_.push_back(rows[i].Data.get());
    looks_.clear();
    endResetModel();
    return true;
  }
  if (visible.size() > known) {
    beginInsertRows({}, int(known), int(visible.size()) - 1);
    rows_ = std::move(visible);
    for (size_t i = known; i < rows_.size(); ++i) shown_.push_back(rows[rows_[i]].Data.get());
    endInsertRows();
  } else {
    rows_ = std::move(visible);
  }
  // The rows on screen: repaint the span of those the views knew before that changed (rows just
  // inserted are painted anyway).
  const int count = int(rows_.size());
  first = std::max(first, 0);
  last = std::min(last, count - 1);
  std::vector<Look> looks;
  int changedFirst = -1, changedLast = -1;
  for (int r = first; r <= last; ++r) {
    looks.push_back(LookOf(rows[rows_[size_t(r)]]));
    const size_t saved = size_t(r - lookFirst_);
    if (size_t(r) >= known ||
        (r >= lookFirst_ && saved < looks_.size() && looks_[saved] == looks.back()))
      continue;
    if (changedFirst < 0) changedFirst = r;
    changedLast = r;
  }
  looks_ = std::move(looks);
  lookFirst_ = first;
  if (changedFirst >= 0) emit dataChanged(index(changedFirst, 0), index(changedLast, 4));
  return false;
}

int MessageListModel::LogicRow(int modelRow) const {
  return modelRow >= 0 && size_t(modelRow) < rows_.size() ? int(rows_[size_t(modelRow)]) : -1;
}

int MessageListModel::ModelRow(size_t logicRow) const {
  return logicRow < modelRows_.size() ? modelRows_[logicRow] : -1;
}

}  // namespace norva::ui
