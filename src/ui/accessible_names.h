#pragma once
// Accessible names for screen readers and GUI tests that find controls by name: windows by
// their caption, buttons and check boxes by their text, fields and lists by the label beside
// or above them (which also becomes the label's buddy). Names set by hand are kept.
class QApplication;
class QWidget;

namespace brisko {

void NameAccessibly(QWidget* window);
// A button, field or list of its own (not a part of another control such as a header).
bool NeedsAccessibleName(const QWidget* widget);

// Names every window of the program as it is first shown, dialogs of every kind included.
void InstallAccessibleNaming(QApplication& app);

}  // namespace brisko
