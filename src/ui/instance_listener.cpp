#include "ui/instance_listener.h"

#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

namespace brisko {

namespace {
constexpr int kRequestTimeoutMs = 2000;
}

InstanceListener::InstanceListener(Handler handler, Answerer answerer, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_answerer(std::move(answerer)) {
  connect(&m_server, &QLocalServer::newConnection, this, &InstanceListener::OnNewConnection);
}

bool InstanceListener::Listen(const QString& socketPath) {
  QLocalServer::removeServer(socketPath);
  m_server.setSocketOptions(QLocalServer::UserAccessOption);
  return m_server.listen(socketPath);
}

void InstanceListener::OnNewConnection() {
  while (QLocalSocket* socket = m_server.nextPendingConnection()) {
    auto* buffer = new QByteArray;
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, socket, [buffer] { delete buffer; });
    // A peer that says nothing is dropped.
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket, buffer] {
      buffer->append(socket->read(qint64(kMaxInstanceRequestBytes) - buffer->size()));
      qsizetype nl = buffer->indexOf('\n');
      if (nl < 0) {
        if (buffer->size() >= qsizetype(kMaxInstanceRequestBytes)) socket->abort();
        return;
      }
      std::optional<InstanceRequest> request =
          ParseInstanceRequest(std::string_view(buffer->constData(), nl));
      if (request && request->kind == InstanceRequest::Actions) {
        const std::string answer =
            m_answerer ? FormatInstanceAnswer(m_answerer(*request)) : std::string("error no actions here\n");
        socket->write(answer.data(), qint64(answer.size()));
        socket->flush();
        socket->disconnectFromServer();
        return;
      }
      // A paper load is answered with what was done; the rest at once (a command may run long).
      if (request && request->kind == InstanceRequest::PaperLoaded) {
        QPointer<QLocalSocket> waiting(socket);
        QTimer::singleShot(0, this, [this, r = *request, waiting] {
          const std::string answer = FormatPaperAnswer(m_handler(r));
          if (!waiting) return;
          waiting->write(answer.data(), qint64(answer.size()));
          waiting->flush();
          waiting->disconnectFromServer();
        });
        return;
      }
      socket->write(request ? "ok\n" : "error bad request\n");
      socket->flush();
      socket->disconnectFromServer();
      // Run it from the event loop, not inside this socket's signal.
      if (request) QTimer::singleShot(0, this, [this, r = *request] { m_handler(r); });
    });
  }
}

}  // namespace brisko
