// Message boxes in window tests: answered by the test instead of a person.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

namespace qm::test {

// Presses OK on the next message box that appears and records it as
// "caption|text". A box with other buttons than one OK is recorded with
// "|buttons" added, so that tests see it.
inline void AcceptNextMessage(QStringList* seen) {
  QTimer::singleShot(20, [seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      AcceptNextMessage(seen);
      return;
    }
    QString entry = box->windowTitle() + "|" + box->text();
    if (box->buttons().size() != 1 || box->standardButtons() != QMessageBox::Ok) entry += "|buttons";
    seen->append(entry);
    box->accept();
  });
}

}  // namespace qm::test
