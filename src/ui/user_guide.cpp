#include "ui/user_guide.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace brisko {
namespace {

// A plain help window for systems without a browser.
void ShowInHelpWindow(QWidget* parent, const QUrl& url) {
  auto* window = new QDialog(parent);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle("Brisko Event File Workflow - Help");
  auto* browser = new QTextBrowser(window);
  browser->setAccessibleName("User guide");
  browser->setOpenExternalLinks(false);
  browser->setSource(url);
  auto* layout = new QVBoxLayout(window);
  layout->addWidget(browser);
  window->resize(820, 640);
  window->show();
}

}  // namespace

QString UserGuidePath() {
  // Installed with the README; earlier packages put it beside the examples.
  for (const char* place :
       {"../share/doc/brisko-workflow/guide/index.html", "../share/brisko-workflow/guide/index.html"}) {
    const QString installed = QDir(QCoreApplication::applicationDirPath()).filePath(place);
    if (QFileInfo::exists(installed)) return QFileInfo(installed).canonicalFilePath();
  }
#ifdef BRISKO_GUIDE_SOURCE_DIR
  const QString source = QString(BRISKO_GUIDE_SOURCE_DIR) + "/index.html";
  if (QFileInfo::exists(source)) return source;
#endif
  return {};
}

GuideOpener& UserGuideOpener() {
  static GuideOpener opener;
  return opener;
}

void OpenUserGuide(QWidget* parent, const QString& section) {
  const QString path = UserGuidePath();
  if (path.isEmpty()) {
    QMessageBox::information(parent, "Help contents",
                             "The user guide is not installed (share/doc/brisko-workflow/guide/index.html).");
    return;
  }
  QUrl url = QUrl::fromLocalFile(path);
  if (!section.isEmpty()) url.setFragment(section);
  if (const GuideOpener& opener = UserGuideOpener())
    opener(parent, url);
  else if (!QDesktopServices::openUrl(url))
    ShowInHelpWindow(parent, url);
}

}  // namespace brisko
