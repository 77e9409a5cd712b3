// AddressDialog: the "Address" dialog.
#include "ui/AddressDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/Text.h"

namespace norva::ui {

AddressDialog::AddressDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("MailAddressDlg"));
  setWindowTitle(QStringLiteral("Address"));
  setModal(true);

  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName(QStringLiteral("NameEdit"));
  AddressEdit = new QLineEdit(this);
  AddressEdit->setObjectName(QStringLiteral("AddressEdit"));
  NameEdit->setMinimumWidth(260);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Name"), NameEdit);
  form->addRow(QStringLiteral("Address"), AddressEdit);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &AddressDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AddressDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  setLayout(layout);
}

void AddressDialog::SetAddress(const TmsMailAddress& address) {
  address_.Assign(address);
  NameEdit->setText(ToQt(address_.Name.str()));
  AddressEdit->setText(ToQt(address_.Address.str()));
}

void AddressDialog::accept() {
  // The fields keep at most 255 characters, never a split one.
  address_.Name = FromQt(NameEdit->text());
  address_.Address = FromQt(AddressEdit->text());
  QDialog::accept();
}

bool EditAddress(TmsMailAddress& address, QWidget* parent) {
  AddressDialog dialog(parent ? parent : QApplication::activeWindow());
  dialog.SetAddress(address);
  if (dialog.exec() != QDialog::Accepted) return false;
  address.Assign(dialog.Address());
  return true;
}

void InstallAddressDialog() {
  TmsMailAddress::EditHook = [](TmsMailAddress& address) { return EditAddress(address); };
}

}  // namespace norva::ui
