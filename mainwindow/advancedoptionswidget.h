// "Advanced Settings" panel laid over the main window: encoder options for
// expert users, kept in memory for the life of the window.
#pragma once

#include <QStringList>
#include <QWidget>

#include "ui_advancedoptionswidget.h"

class QRegExpValidator;

class AdvancedOptionsWidget : public QWidget {
    Q_OBJECT
public:
    explicit AdvancedOptionsWidget(QWidget* parent);

    bool getUseCustomBitrate() const { return useCustomBitrate; }
    int getCustomBitrate() const { return customBitrate; }
    int getAspectRatio() const { return aspectRatio; }
    bool getRemoveAudio() const { return removeAudio; }

signals:
    void useCustomBitrateDidChange();

public slots:
    // Hides QWidget::show(): refreshes the controls from the stored values first.
    void show();
    void cancelClicked();
    void saveClicked();
    void setToDefaults(bool ask);
    void setToDefaultsClicked();
    void useCustomBitrateChanged(int state);
    void customBitrateValueChanged();

private:
    void updateControls();
    void setBitrateControlsEnabled(bool enabled);

    Ui::AdvancedOptionsWidget ui;
    bool useCustomBitrate;
    int customBitrate;
    int aspectRatio;
    bool removeAudio;
    QStringList aspectRatios;
    QRegExpValidator* bitrateValidator;
};
