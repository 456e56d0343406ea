// A Qt generic plugin that lets an end-to-end test drive the real program
// through its controls' objectNames, as a person would through the screen.
// Loaded only when a test asks for it:
//   QT_PLUGIN_PATH=<folder holding generic/>  QT_QPA_GENERIC_PLUGINS=quillmeredriver:<socket path>
// It connects to the test's local socket and answers one JSON object per line:
//   {"op":"set","name":N,"text":T}   types T into the edit box N
//   {"op":"click","name":N}          clicks button N with the mouse (queued, like a real click)
//   {"op":"get","name":N}            {"text":..,"enabled":..,"visible":..,"value":..}
//   {"op":"boxes"}                   the message boxes on screen: [{"title":..,"text":..,"id":..}]
//   {"op":"accept"}                  presses OK on the message box on top
#include <QAbstractButton>
#include <QApplication>
#include <QGenericPlugin>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>

namespace {

QWidget* FindWidget(const QString& name) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == name) return top;
    if (auto* w = top->findChild<QWidget*>(name)) return w;
  }
  return nullptr;
}

QList<QMessageBox*> Boxes() {
  QList<QMessageBox*> boxes;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(top); box != nullptr && box->isVisible()) boxes.append(box);
  }
  return boxes;
}

// A number per box, never reused (a new box may take an old one's address).
int IdOf(QMessageBox* box) {
  static int next = 0;
  QVariant id = box->property("quillmereDriverId");
  if (!id.isValid()) {
    id = ++next;
    box->setProperty("quillmereDriverId", id);
  }
  return id.toInt();
}

class Driver : public QObject {
 public:
  explicit Driver(const QString& socketPath) {
    connect(&socket_, &QLocalSocket::readyRead, this, [this] { Read(); });
    socket_.connectToServer(socketPath);
    socket_.waitForConnected(5000);
  }

 private:
  void Read() {
    while (socket_.canReadLine()) {
      const QJsonObject request = QJsonDocument::fromJson(socket_.readLine()).object();
      QJsonObject reply = Handle(request);
      socket_.write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\n");
      socket_.flush();
    }
  }

  QJsonObject Handle(const QJsonObject& request) {
    const QString op = request["op"].toString();
    QJsonObject reply{{"ok", true}};
    if (op == "boxes") {
      QJsonArray list;
      for (QMessageBox* box : Boxes()) list.append(QJsonObject{{"title", box->windowTitle()},
                                {"text", box->text()},
                                {"id", IdOf(box)}});
      reply["boxes"] = list;
      return reply;
    }
    if (op == "accept") {
      const QList<QMessageBox*> boxes = Boxes();
      if (boxes.isEmpty()) return QJsonObject{{"ok", false}, {"error", "no message box"}};
      QMessageBox* box = boxes.last();
      QTimer::singleShot(0, box, [box] { box->accept(); });
      return reply;
    }
    QWidget* widget = FindWidget(request["name"].toString());
    if (widget == nullptr) return QJsonObject{{"ok", false}, {"error", "no control " + request["name"].toString()}};
    if (op == "set") {
      const QString text = request["text"].toString();
      if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        line->setText(text);
      } else if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) {
        box->setPlainText(text);
      } else {
        return QJsonObject{{"ok", false}, {"error", "not an edit box"}};
      }
    } else if (op == "click") {
      // Posted mouse events: while the program is busy they wait, like a real click.
      const QPointF at = QRectF(widget->rect()).center();
      const QPointF global = widget->mapToGlobal(at);
      QCoreApplication::postEvent(widget, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                                          Qt::LeftButton, Qt::NoModifier));
      QCoreApplication::postEvent(widget, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                                          Qt::NoButton, Qt::NoModifier));
    } else if (op == "get") {
      QString text;
      if (auto* line = qobject_cast<QLineEdit*>(widget)) text = line->text();
      if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) text = box->toPlainText();
      if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
      if (widget->isWindow()) text = widget->windowTitle();
      reply["text"] = text;
      reply["enabled"] = widget->isEnabled();
      reply["visible"] = widget->isVisible();
      if (auto* bar = qobject_cast<QProgressBar*>(widget)) reply["value"] = bar->value();
    } else {
      return QJsonObject{{"ok", false}, {"error", "unknown op " + op}};
    }
    return reply;
  }

  QLocalSocket socket_;
};

class DriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")

 public:
  QObject* create(const QString& key, const QString& socketPath) override {
    if (key.compare("quillmeredriver", Qt::CaseInsensitive) != 0) return nullptr;
    return new Driver(socketPath);
  }
};

}  // namespace

#include "driver_plugin.moc"
