#pragma once
// Listens for later starts on the instance socket (see app/instance_channel.h) and passes
// their requests on: once the answer has been sent, or for a paper load, answered with what was
// done.
#include <QLocalServer>
#include <functional>

#include "app/instance_channel.h"

namespace brisko {

class InstanceListener : public QObject {
  Q_OBJECT
 public:
  // Runs a request; a paper load's answer says what was done.
  using Handler = std::function<PaperAnswer(const InstanceRequest&)>;
  // Answers the requests whose answer is their result (actions) at once.
  using Answerer = std::function<InstanceAnswer(const InstanceRequest&)>;
  explicit InstanceListener(Handler handler, Answerer answerer = {}, QObject* parent = nullptr);
  // Call only while holding the instance lock: a socket file left behind is removed.
  bool Listen(const QString& socketPath);
  QString ErrorString() const { return m_server.errorString(); }

 private:
  void OnNewConnection();
  QLocalServer m_server;
  Handler m_handler;
  Answerer m_answerer;
};

}  // namespace brisko
