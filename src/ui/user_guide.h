#pragma once
// The user guide that ships with the program (HTML): found beside the installed executable,
// else in the source tree; shown in the default browser, or in a help window without one.
#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace brisko {

// <dir of executable>/../share/doc/brisko-workflow/guide/index.html when present, else the
// guide of the source tree this program was built from; empty when neither exists.
QString UserGuidePath();

// How the guide is shown instead of the browser; set by tests so that none starts.
using GuideOpener = std::function<void(QWidget* parent, const QUrl& url)>;
GuideOpener& UserGuideOpener();

// Opens the guide at a section ("" for the start). Without a guide, says so in a message box.
void OpenUserGuide(QWidget* parent, const QString& section = {});

}  // namespace brisko
