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

namespace {

// The typed text as UTF-8 in at most 255 bytes, cut before a character that would not fit
// whole: a split character would make the stored text invalid UTF-8, shown as Latin-1.
std::string ShortText(const QString& text) {
  std::string bytes = FromQt(text);
  if (bytes.size() <= TShortString::kCapacity) return bytes;
  size_t end = TShortString::kCapacity;
  while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
  bytes.resize(end);
  return bytes;
}

}  // namespace

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
  address_.Name = ShortText(NameEdit->text());
  address_.Address = ShortText(AddressEdit->text());
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
