#pragma once
// "Paper loaded": which printer got new paper and how many prints it gives.
#include <QDialog>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QSpinBox;

namespace brisko {

class Station;

class PaperDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kCaption = "Paper loaded";
  PaperDialog(Station& station, const std::vector<std::string>& queues, QWidget* parent = nullptr);

  // Asks and, on OK, tells the station; false when the operator cancelled.
  static bool Ask(Station& station, QWidget* parent);

  QComboBox* Printer() const { return m_printer; }
  QSpinBox* Count() const { return m_count; }
  QCheckBox* Counted() const { return m_counted; }
  void Apply();

 private:
  void ShowCountOf(const QString& queue);

  Station& m_station;
  QComboBox* m_printer;
  QSpinBox* m_count;
  QCheckBox* m_counted;
};

}  // namespace brisko
