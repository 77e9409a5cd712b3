// MessageListModel: the message list's rows (TfrmMain::lsvMail) as a Qt table model. The logic
// owns the rows; Sync() tells the views what changed since the last call, cheaply enough to run
// after every header of a check.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "app/Main.h"

namespace norva::ui {

class MessageListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit MessageListModel(TfrmMain& main, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Rows appended since the last call are inserted; rows removed or reordered reset the model;
  // otherwise the shown rows are repainted. True when the rows were reset.
  bool Sync();

 private:
  TfrmMain& main_;
  std::vector<const MessageListEntry*> shown_;  // the entry of every row the views know of
};

}  // namespace norva::ui
