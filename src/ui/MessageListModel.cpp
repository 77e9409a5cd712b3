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

// The row's image with its state image (deleted, archived, retrieved) drawn in its corner.
QIcon RowIcon(int image, int state) {
  // Kept for the whole run (never destroyed after the application object).
  static auto* cache = new QIcon[3][4];
  if (image < 0 || image > 2) image = 1;
  const int slot = state >= 3 && state <= 5 ? state - 2 : 0;
  QIcon& icon = cache[image][slot];
  if (icon.isNull()) {
    QPixmap pixmap(32, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (slot > 0) painter.drawPixmap(0, 0, MailImage(state).pixmap(16, 16));
    painter.drawPixmap(16, 0, MailImage(image).pixmap(16, 16));
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
  if (!index.isValid() || size_t(index.row()) >= main_.lsvMail.size()) return {};
  const TListRow& row = main_.lsvMail[size_t(index.row())];
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole: {
      if (column == 0) return ToQt(row.Caption);
      const size_t sub = size_t(column - 1);
      return sub < row.SubItems.size() ? ToQt(row.SubItems[sub]) : QString();
    }
    case Qt::DecorationRole:
      return column == 0 ? RowIcon(row.ImageIndex, row.StateIndex) : QVariant();
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

bool MessageListModel::Sync() {
  const auto& rows = main_.lsvMail;
  const size_t known = shown_.size();
  bool prefix = rows.size() >= known;
  for (size_t i = 0; prefix && i < known; ++i) prefix = rows[i].Data.get() == shown_[i];
  if (!prefix) {
    beginResetModel();
    shown_.clear();
    for (const TListRow& row : rows) shown_.push_back(row.Data.get());
    endResetModel();
    return true;
  }
  if (rows.size() > known) {
    beginInsertRows({}, int(known), int(rows.size()) - 1);
    for (size_t i = known; i < rows.size(); ++i) shown_.push_back(rows[i].Data.get());
    endInsertRows();
  }
  if (known > 0) emit dataChanged(index(0, 0), index(int(known) - 1, 4));
  return false;
}

}  // namespace norva::ui
