#include "ui/gps_area_dialogs.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "support/settings_store.h"

namespace brisko {

namespace {

std::function<void(QWidget*, const SpatialAreaMessage&)>& MessageHook() {
  static std::function<void(QWidget*, const SpatialAreaMessage&)> hook;
  return hook;
}

std::function<bool(const std::string&)>& OpenUrlHook() {
  static std::function<bool(const std::string&)> hook;
  return hook;
}

void ShowMessage(QWidget* parent, const SpatialAreaMessage& message) {
  if (MessageHook()) {
    MessageHook()(parent, message);
    return;
  }
  QMessageBox::warning(parent, QString::fromStdString(message.caption), QString::fromStdString(message.text));
}

bool OpenUrl(const std::string& url) {
  if (OpenUrlHook()) return OpenUrlHook()(url);
  // Tolerant: the address already carries its own escapes ("%7C") and must keep them.
  return QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::TolerantMode));
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
std::string S(const QString& text) {
  return text.toStdString();
}

QLineEdit* PositionEdit(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setPlaceholderText("29.3434,-47.3235");
  edit->setMinimumWidth(220);
  return edit;
}

}  // namespace

void SetGpsAreaMessageHook(std::function<void(QWidget*, const SpatialAreaMessage&)> hook) {
  MessageHook() = std::move(hook);
}

void SetOpenUrlHook(std::function<bool(const std::string&)> hook) {
  OpenUrlHook() = std::move(hook);
}

// ---------------------------------------------------------------------------------------------

CManageSpatialAreaDlg::CManageSpatialAreaDlg(const SpatialArea& area, SettingsStore& store, QWidget* parent)
    : QDialog(parent), m_form(area), m_store(store) {
  setWindowTitle("GPS Filter Area");

  m_description = new QLineEdit(Q(m_form.description), this);

  auto* kindBox = new QGroupBox("Area type", this);
  m_include = new QRadioButton("Include area", kindBox);
  m_exclude = new QRadioButton("Exclude area", kindBox);
  auto* kindLayout = new QHBoxLayout(kindBox);
  kindLayout->addWidget(m_include);
  kindLayout->addWidget(m_exclude);
  (m_form.include ? m_include : m_exclude)->setChecked(true);

  auto* shapeBox = new QGroupBox("Shape", this);
  m_circle = new QRadioButton("Circle", shapeBox);
  m_square = new QRadioButton("Square", shapeBox);
  auto* shapeLayout = new QHBoxLayout(shapeBox);
  shapeLayout->addWidget(m_circle);
  shapeLayout->addWidget(m_square);
  (m_form.square ? m_square : m_circle)->setChecked(true);

  auto* circleBox = new QGroupBox("Circle", this);
  m_centre = PositionEdit(circleBox);
  m_centre->setText(Q(m_form.centre));
  m_radius = new QLineEdit(Q(m_form.radius), circleBox);
  auto* circleLayout = new QFormLayout(circleBox);
  circleLayout->addRow("Center Lat Long:", m_centre);
  circleLayout->addRow("Radius (m):", m_radius);

  auto* squareBox = new QGroupBox("Square", this);
  m_topLeft = PositionEdit(squareBox);
  m_topLeft->setText(Q(m_form.topLeft));
  m_bottomRight = PositionEdit(squareBox);
  m_bottomRight->setText(Q(m_form.bottomRight));
  auto* squareLayout = new QFormLayout(squareBox);
  squareLayout->addRow("Top/Left Lat Long:", m_topLeft);
  squareLayout->addRow("Bottom/Right Lat Long:", m_bottomRight);

  m_map = new QPushButton("Show on map", this);
  m_map->setToolTip("Map preview");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->addButton(m_map, QDialogButtonBox::ActionRole);

  auto* form = new QFormLayout;
  form->addRow("Description:", m_description);
  auto* choices = new QHBoxLayout;
  choices->addWidget(kindBox);
  choices->addWidget(shapeBox);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(choices);
  layout->addWidget(circleBox);
  layout->addWidget(squareBox);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_map, &QPushButton::clicked, this, [this] { OnMap(); });
  connect(m_square, &QRadioButton::toggled, this, [this] { ShowShape(); });
  ShowShape();
}

void CManageSpatialAreaDlg::ReadFields() {
  m_form.description = S(m_description->text());
  m_form.include = m_include->isChecked();
  m_form.square = m_square->isChecked();
  m_form.topLeft = S(m_topLeft->text());
  m_form.bottomRight = S(m_bottomRight->text());
  m_form.centre = S(m_centre->text());
  m_form.radius = S(m_radius->text());
}

void CManageSpatialAreaDlg::ShowShape() {
  // Only the fields of the chosen shape are checked and kept; the others are greyed out.
  bool square = m_square->isChecked();
  m_topLeft->setEnabled(square);
  m_bottomRight->setEnabled(square);
  m_centre->setEnabled(!square);
  m_radius->setEnabled(!square);
}

std::optional<std::string> CManageSpatialAreaDlg::MapUrl() {
  ReadFields();
  SpatialArea shown;
  if (auto message = m_form.Preview(shown)) {
    ShowMessage(this, *message);
    return std::nullopt;
  }
  std::string urlTemplate = m_store.GetProfileString("Settings", "m_strStaticMapUrl", kDefaultStaticMapUrl);
  if (urlTemplate.empty()) urlTemplate = kDefaultStaticMapUrl;
  std::string key = m_store.GetProfileString("Settings", "m_strStaticMapKey", "");
  return BuildStaticMapUrl(shown, urlTemplate, key);
}

void CManageSpatialAreaDlg::OnMap() {
  std::optional<std::string> url = MapUrl();
  if (!url) return;
  if (!OpenUrl(*url)) {
    ShowMessage(this, {"Could not open the map preview: no program to show " + *url, "Map preview"});
  }
}

void CManageSpatialAreaDlg::accept() {
  ReadFields();
  if (auto message = m_form.Accept()) {
    ShowMessage(this, *message);
    return;
  }
  m_topLeft->setText(Q(m_form.topLeft));
  m_bottomRight->setText(Q(m_form.bottomRight));
  m_centre->setText(Q(m_form.centre));
  QDialog::accept();
}

std::optional<SpatialArea> CManageSpatialAreaDlg::Edit(QWidget* parent, const SpatialArea& area,
                                                       SettingsStore& store) {
  CManageSpatialAreaDlg dialog(area, store, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Area();
}

// ---------------------------------------------------------------------------------------------

CManageSpatialAreas::CManageSpatialAreas(const SpatialAreaList& areas, SettingsStore& store, QWidget* parent)
    : QDialog(parent), m_form(areas) {
  setWindowTitle("GPS Filter Areas");
  editArea = [this, &store](const SpatialArea& area) {
    return CManageSpatialAreaDlg::Edit(this, area, store);
  };

  m_list = new QTreeWidget(this);
  QStringList headers;
  for (const auto& column : SpatialAreasForm::Columns()) headers << Q(column);
  m_list->setHeaderLabels(headers);
  m_list->setRootIsDecorated(false);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setAllColumnsShowFocus(true);
  m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  m_list->setMinimumSize(760, 220);

  m_add = new QPushButton("Add", this);
  m_edit = new QPushButton("Edit", this);
  m_remove = new QPushButton("Remove", this);
  m_up = new QPushButton("Move Up", this);
  m_down = new QPushButton("Move Down", this);
  auto* side = new QVBoxLayout;
  for (QPushButton* b : {m_add, m_edit, m_remove, m_up, m_down}) side->addWidget(b);
  side->addStretch();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* row = new QHBoxLayout;
  row->addWidget(m_list, 1);
  row->addLayout(side);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_add, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(m_edit, &QPushButton::clicked, this, [this] { OnEdit(); });
  connect(m_remove, &QPushButton::clicked, this, [this] { Refill(m_form.Remove(CurrentRow())); });
  connect(m_up, &QPushButton::clicked, this, [this] { Refill(m_form.MoveUp(CurrentRow())); });
  connect(m_down, &QPushButton::clicked, this, [this] { Refill(m_form.MoveDown(CurrentRow())); });
  connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { OnEdit(); });
  connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  Refill(m_form.Areas().IsEmpty() ? -1 : 0);
}

int CManageSpatialAreas::CurrentRow() const {
  QList<QTreeWidgetItem*> selected = m_list->selectedItems();
  return selected.isEmpty() ? -1 : m_list->indexOfTopLevelItem(selected.front());
}

void CManageSpatialAreas::Refill(int select) {
  m_list->clear();
  const SpatialAreaList& areas = m_form.Areas();
  std::vector<std::string> rows = m_form.Rows();
  for (size_t i = 0; i < areas.Count(); ++i) {
    const SpatialArea& a = areas.At(i);
    // Only the values of the area's own shape count; the others would mislead.
    QStringList cells{Q(rows[i]), a.m_bSquare ? Q(a.m_LLTopLeft.Format()) : QString(),
                      a.m_bSquare ? Q(a.m_LLBottomRight.Format()) : QString(),
                      a.m_bSquare ? QString() : Q(a.m_LLCenter.Format()),
                      a.m_bSquare ? QString() : QString::number(a.m_iRadius)};
    m_list->addTopLevelItem(new QTreeWidgetItem(cells));
  }
  if (select >= 0 && select < m_list->topLevelItemCount()) {
    m_list->setCurrentItem(m_list->topLevelItem(select));
    m_list->topLevelItem(select)->setSelected(true);
  }
  UpdateButtons();
}

void CManageSpatialAreas::UpdateButtons() {
  int row = CurrentRow();
  int count = m_list->topLevelItemCount();
  m_edit->setEnabled(row >= 0);
  m_remove->setEnabled(row >= 0);
  m_up->setEnabled(row > 0);
  m_down->setEnabled(row >= 0 && row + 1 < count);
}

void CManageSpatialAreas::OnAdd() {
  if (std::optional<SpatialArea> area = editArea(SpatialArea{})) Refill(m_form.Add(*area));
}

void CManageSpatialAreas::OnEdit() {
  int row = CurrentRow();
  if (row < 0) return;
  if (std::optional<SpatialArea> area = editArea(m_form.Areas().At(static_cast<size_t>(row)))) {
    Refill(m_form.Replace(row, *area));
  }
}

std::optional<SpatialAreaList> CManageSpatialAreas::Edit(QWidget* parent, const SpatialAreaList& areas,
                                                         SettingsStore& store) {
  CManageSpatialAreas dialog(areas, store, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Areas();
}

}  // namespace brisko
