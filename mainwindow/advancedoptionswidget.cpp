#include "advancedoptionswidget.h"

#include <QMessageBox>
#include <QRegExp>
#include <QRegExpValidator>

#include "quorvelresources.h"

namespace {
const bool kDefaultUseCustomBitrate = false;
const int kDefaultCustomBitrate = 10000; // kbps
const int kDefaultAspectRatio = 0;       // "Automatic"
const bool kDefaultRemoveAudio = false;
const int kMinBitrate = 1000;
const int kMaxBitrate = 50000;
} // namespace

AdvancedOptionsWidget::AdvancedOptionsWidget(QWidget* parent)
    : QWidget(parent)
{
    initQuorvelResources();
    ui.setupUi(this);
    connect(ui.saveButton, SIGNAL(clicked()), this, SLOT(saveClicked()));
    connect(ui.cancelButton, SIGNAL(clicked()), this, SLOT(cancelClicked()));
    connect(ui.defaultsButton, SIGNAL(clicked()), this, SLOT(setToDefaultsClicked()));
    connect(ui.useCustomBitrateCheckBox, SIGNAL(stateChanged(int)), this,
            SLOT(useCustomBitrateChanged(int)));
    connect(ui.bitrateLineEdit, SIGNAL(editingFinished()), this, SLOT(customBitrateValueChanged()));

    useCustomBitrate = kDefaultUseCustomBitrate;
    customBitrate = kDefaultCustomBitrate;
    aspectRatio = kDefaultAspectRatio;
    removeAudio = kDefaultRemoveAudio;
    updateControls();

    aspectRatios << QStringLiteral("Automatic") << QStringLiteral("4x3 PillarBox");
    ui.aspectComboBox->insertItems(ui.aspectComboBox->count(), aspectRatios);

    bitrateValidator = new QRegExpValidator(QRegExp(QStringLiteral("\\d+"), Qt::CaseSensitive), this);
    ui.bitrateLineEdit->setValidator(bitrateValidator);
}

void AdvancedOptionsWidget::setBitrateControlsEnabled(bool enabled)
{
    ui.bitrateLabel->setEnabled(enabled);
    ui.bitrateLineEdit->setEnabled(enabled);
    ui.bitrateUnitsLabel->setEnabled(enabled);
}

void AdvancedOptionsWidget::updateControls()
{
    ui.useCustomBitrateCheckBox->setChecked(useCustomBitrate);
    ui.bitrateLineEdit->setText(QString::number(customBitrate));
    ui.aspectComboBox->setCurrentIndex(aspectRatio);
    ui.removeAudioCheckBox->setChecked(removeAudio);
    setBitrateControlsEnabled(ui.useCustomBitrateCheckBox->checkState() == Qt::Checked);
}

void AdvancedOptionsWidget::show()
{
    // Edits left by an earlier Cancel are discarded here.
    updateControls();
    QWidget::show();
}

void AdvancedOptionsWidget::cancelClicked()
{
    hide();
}

void AdvancedOptionsWidget::saveClicked()
{
    useCustomBitrate = ui.useCustomBitrateCheckBox->isChecked();
    customBitrate = ui.bitrateLineEdit->text().toInt();
    aspectRatio = ui.aspectComboBox->currentIndex();
    removeAudio = ui.removeAudioCheckBox->isChecked();
    emit useCustomBitrateDidChange();
    hide();
}

void AdvancedOptionsWidget::setToDefaults(bool ask)
{
    if (ask) {
        QMessageBox box(QMessageBox::Warning, QString(),
                        tr("Are you sure you want to set Advanced Settings to the default values?"),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes)
            return;
    }
    useCustomBitrate = kDefaultUseCustomBitrate;
    customBitrate = kDefaultCustomBitrate;
    aspectRatio = kDefaultAspectRatio;
    removeAudio = kDefaultRemoveAudio;
    updateControls();
}

void AdvancedOptionsWidget::setToDefaultsClicked()
{
    setToDefaults(true);
}

void AdvancedOptionsWidget::useCustomBitrateChanged(int state)
{
    setBitrateControlsEnabled(state == Qt::Checked);
}

void AdvancedOptionsWidget::customBitrateValueChanged()
{
    bool ok = false;
    const int value = ui.bitrateLineEdit->text().toInt(&ok);
    // The validator lets only digits through: a text that does not fit an
    // int is a very large number.
    if (!ok)
        ui.bitrateLineEdit->setText(QString::number(kMaxBitrate));
    else if (value < kMinBitrate)
        ui.bitrateLineEdit->setText(QString::number(kMinBitrate));
    else if (value > kMaxBitrate)
        ui.bitrateLineEdit->setText(QString::number(kMaxBitrate));
}
