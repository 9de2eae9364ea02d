#pragma once

#include <QObject>

class UpdateWindow;

// The update run: greeting, update list, last-update check and file update
// loop, with the run's one failure handler.
class UpdateRun : public QObject
{
    Q_OBJECT
public:
    explicit UpdateRun(UpdateWindow &window, QObject *parent = nullptr);
    ~UpdateRun() override;

    // The whole run; returns when the files have been started, when there is
    // nothing to update, after the failure path, or once the window has closed.
    void RetrieveUpdateList();

    void CheckLastUpdate();
    void UpdateFiles();

private:
    UpdateWindow &m_window;
};
