#include "ui/accessible_names.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextEdit>

namespace brisko {
namespace {

QString Caption(QString text) {
  text.remove(QLatin1Char('&'));
  text = text.simplified();
  while (text.endsWith(':')) text.chop(1);
  return text.trimmed();
}

bool IsField(const QWidget* w) {
  return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
         qobject_cast<const QAbstractSpinBox*>(w) || qobject_cast<const QPlainTextEdit*>(w) ||
         qobject_cast<const QTextEdit*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
         qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QProgressBar*>(w);
}

QWidget* WidgetOf(QLayoutItem* item) {
  if (!item) return nullptr;
  if (item->widget()) return item->widget();
  // A row of its own (a field and its button): the row's first widget.
  if (QLayout* inner = item->layout()) return inner->count() > 0 ? WidgetOf(inner->itemAt(0)) : nullptr;
  return nullptr;
}

// The layout holding `w` and its index there.
QLayout* LayoutOf(QWidget* w, int* index) {
  QWidget* parent = w->parentWidget();
  if (!parent) return nullptr;
  QList<QLayout*> layouts = parent->findChildren<QLayout*>();
  if (parent->layout()) layouts.prepend(parent->layout());
  for (QLayout* layout : layouts) {
    *index = layout->indexOf(w);
    if (*index >= 0) return layout;
  }
  return nullptr;
}

// The field a label stands for: right of it in a grid (else just below it), or next in a box
// layout.
QWidget* FieldAfter(QLabel* label) {
  int index = -1;
  QLayout* layout = LayoutOf(label, &index);
  if (!layout) return nullptr;
  if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    QWidget* right = WidgetOf(grid->itemAtPosition(row, column + columnSpan));
    if (right && IsField(right)) return right;
    QWidget* below = WidgetOf(grid->itemAtPosition(row + rowSpan, column));
    if (!below || !IsField(below)) return nullptr;
    int r, c, rs, cs;
    grid->getItemPosition(grid->indexOf(below), &r, &c, &rs, &cs);
    return c == column ? below : nullptr;  // not a wider field that merely reaches under it
  }
  QWidget* next = WidgetOf(layout->itemAt(index + 1));
  return next && IsField(next) ? next : nullptr;
}

// The caption just before a field: a label or a radio button left of it in a grid, or before it
// in a box layout.
QString CaptionBefore(QWidget* field) {
  int index = -1;
  QLayout* layout = LayoutOf(field, &index);
  if (!layout) return {};
  QWidget* before = nullptr;
  if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    if (column > 0) before = WidgetOf(grid->itemAtPosition(row, column - 1));
  } else if (index > 0) {
    before = WidgetOf(layout->itemAt(index - 1));
  }
  if (auto* label = qobject_cast<QLabel*>(before)) return Caption(label->text());
  if (auto* button = qobject_cast<QAbstractButton*>(before)) return Caption(button->text());
  return {};
}

bool IsPartOfAnother(const QWidget* w) {
  // Header views, a combo box's popup list and editor, and Qt's own helpers (the menu bar's
  // overflow button) speak through their owner.
  const QWidget* parent = w->parentWidget();
  return w->objectName().startsWith(QLatin1String("qt_")) || qobject_cast<const QHeaderView*>(w) ||
         qobject_cast<const QComboBox*>(parent) ||
         (parent && qobject_cast<const QComboBox*>(parent->parentWidget())) ||
         QByteArray(w->metaObject()->className()) == "QComboBoxListView";
}

}  // namespace

bool NeedsAccessibleName(const QWidget* widget) {
  return (IsField(widget) || qobject_cast<const QAbstractButton*>(widget)) && !IsPartOfAnother(widget);
}

namespace {

class NamingFilter : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
      auto* widget = static_cast<QWidget*>(watched);
      if (widget->isWindow()) NameAccessibly(widget);
    }
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

void NameAccessibly(QWidget* window) {
  if (!window) return;
  if (window->accessibleName().isEmpty() && !window->windowTitle().isEmpty())
    window->setAccessibleName(window->windowTitle());
  for (QLabel* label : window->findChildren<QLabel*>()) {
    QWidget* field = label->buddy();
    if (!field) {
      field = FieldAfter(label);
      if (!field) continue;
      label->setBuddy(field);
    }
    if (field->accessibleName().isEmpty() && !Caption(label->text()).isEmpty())
      field->setAccessibleName(Caption(label->text()));
  }
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    if (!button->accessibleName().isEmpty()) continue;
    const QString name = Caption(button->text());
    button->setAccessibleName(name.isEmpty() ? Caption(button->toolTip()) : name);
  }
  // Fields without a label of their own: the caption before them, else the window's.
  for (QWidget* field : window->findChildren<QWidget*>()) {
    if (!IsField(field) || IsPartOfAnother(field) || !field->accessibleName().isEmpty()) continue;
    QString name = CaptionBefore(field);
    if (name.isEmpty()) name = Caption(field->toolTip());
    if (name.isEmpty()) name = Caption(window->windowTitle());
    field->setAccessibleName(name);
  }
  for (QGroupBox* group : window->findChildren<QGroupBox*>())
    if (group->accessibleName().isEmpty()) group->setAccessibleName(Caption(group->title()));
}

void InstallAccessibleNaming(QApplication& app) {
  static NamingFilter filter;
  app.installEventFilter(&filter);
}

}  // namespace brisko
