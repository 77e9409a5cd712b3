// MessageListModel: the rows of the message list (TfrmMain::lsvMail) that the quick filter
// shows, as a Qt table model. The logic owns the rows; Sync() tells the views what changed since
// the last call, cheaply enough to run after every header of a check. Views read the rows afresh
// when they paint, so only the rows on screen are compared, and a repaint is asked for only when
// one of them looks different.
#pragma once

#include <QAbstractTableModel>
#include <limits>
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
  // of the model rows first..last (those on screen; none when last < first), the ones that
  // changed are repainted. True when the rows were reset.
  bool Sync(int first = 0, int last = std::numeric_limits<int>::max());
  // The logic's row shown as a model row (-1: none), and the model row of a logic row (-1: the
  // filter hides it), as of the last Sync.
  int LogicRow(int modelRow) const;
  int ModelRow(size_t logicRow) const;

 private:
  TfrmMain& main_;
  std::vector<const MessageListEntry*> shown_;  // the entry of every row the views know of
  std::vector<size_t> rows_;                    // the logic row of every model row
  std::vector<int> modelRows_;                  // the model row of every logic row, or -1
  // What the rows on screen showed at the last Sync, from model row lookFirst_ on.
  struct Look {
    std::string Caption;
    TStringList SubItems;
    int32_t ImageIndex, StateIndex;
    bool Unread, Urgent;
    bool operator==(const Look&) const = default;
  };
  static Look LookOf(const TListRow& row);
  std::vector<Look> looks_;
  int lookFirst_ = 0;
};

}  // namespace norva::ui
