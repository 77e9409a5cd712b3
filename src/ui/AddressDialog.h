// AddressDialog: the small modal "Address" dialog that edits a mail address's name and address.
#pragma once

#include <QDialog>

#include "mail/msCls.h"

class QLineEdit;

namespace norva::ui {

class AddressDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AddressDialog(QWidget* parent = nullptr);

  // Copies the address into the dialog's own and shows its two parts.
  void SetAddress(const TmsMailAddress& address);
  const TmsMailAddress& Address() const { return address_; }

  QLineEdit* NameEdit;
  QLineEdit* AddressEdit;

 public slots:
  // OK: the edits' texts go into the dialog's address, each cut to its 255 bytes.
  void accept() override;

 private:
  TmsMailAddress address_;
};

// Opens the dialog on address; true, with the address changed, when it ends with OK.
bool EditAddress(TmsMailAddress& address, QWidget* parent = nullptr);

// Makes TmsMailAddress::Edit open the dialog.
void InstallAddressDialog();

}  // namespace norva::ui
