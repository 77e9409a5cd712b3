// MessageListModel: the rows of the message list (TfrmMain::lsvMail) that the quick filter
// shows, as a Qt table model. The logic owns the rows; Sync() tells the views what changed since
// the last call, cheaply enough to run after every header of a check.
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
  // The logic's row shown as a model row (-1: none), and the model row of a logic row (-1: the
  // filter hides it), as of the last Sync.
  int LogicRow(int modelRow) const;
  int ModelRow(size_t logicRow) const;

 private:
  TfrmMain& main_;
  std::vector<const MessageListEntry*> shown_;  // the entry of every row the views know of
  std::vector<size_t> rows_;                    // the logic row of every model row
  std::vector<int> modelRows_;                  // the model row of every logic row, or -1
};

}  // namespace norva::ui
