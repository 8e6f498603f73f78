#pragma once

#include <QMainWindow>
#include <QScopedPointer>

namespace Ui {
class MacInstallWindow;
}
class MacInstallWindowPrivate;

// The installer's window, the first window of an unpacked bundle whose folder
// begins with "Install" (or of a start with "--install"): an introduction, the
// installation and a summary. The installation copies the running bundle to
// the system directory with administrator rights, or, when they are refused,
// to the user's own directory, and adds a launcher to the desktop's menu.
class MacInstallWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MacInstallWindow(QWidget* parent = nullptr);
    ~MacInstallWindow() override;

    // What is installed (the running bundle) and where to.
    QString source() const;
    void setSource(const QString& bundle);
    QString systemDestination() const;
    void setSystemDestination(const QString& path);
    QString userDestination() const;
    void setUserDestination(const QString& path);

    // A copy is running; the window shows the spinner and cannot be closed.
    bool isBusy() const;

signals:
    // The program was copied to destination.
    void installed(QString destination);

public slots:
    void on_nextButton_clicked();
    void on_prevButton_clicked();
    void on_mainStack_currentChanged();
    void copytoSystem();
    void copyToUser();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    Q_DISABLE_COPY(MacInstallWindow)
    QScopedPointer<Ui::MacInstallWindow> ui;
    // Not d_ptr: that name is QObject's.
    QScopedPointer<MacInstallWindowPrivate> d;
    friend class MacInstallWindowPrivate;
};
