#include "batchconvertmodel.h"

#include <QApplication>
#include <QBrush>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QMap>
#include <QPixmap>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include "reporting.h"
#include "volumeinfo.h"

#include <algorithm>
#include <limits>

namespace {

QString clipNumberText(int number, int width)
{
    return QStringLiteral("%1").arg(number, width, 10, QLatin1Char('0'));
}

// The folders in parent whose names end in digits, by name, with the clip
// number the drive index reads from them (saturated past an int).
QMap<QString, qint64> numberedFolders(const QString& parent)
{
    QMap<QString, qint64> folders;
    if (parent.isEmpty())
        return folders;
    static const QRegularExpression trailingDigits(QStringLiteral("([0-9]+)$"));
    const QStringList names = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = trailingDigits.match(name);
        if (!match.hasMatch())
            continue;
        const QString digits = match.captured(1);
        bool ok = false;
        const qint64 number = digits.toLongLong(&ok);
        folders.insert(name, ok ? number : std::numeric_limits<qint64>::max());
    }
    return folders;
}

} // namespace

BatchConvertModel::BatchConvertModel(QObject* parent)
    : QAbstractItemModel(parent)
{
}

BatchConvertModel::~BatchConvertModel()
{
    while (!m_sources.empty())
        removeSource(0);
}

const QStringList& BatchConvertModel::frameRateCodes()
{
    static const QStringList codes{"23", "25", "29", "47", "50", "59", "100", "119"};
    return codes;
}

const QStringList& BatchConvertModel::slotNamesHfr()
{
    static const QStringList names{QObject::tr("Full video"), QObject::tr("1 of 2 (Odd frames)"),
                                   QObject::tr("2 of 2 (Even frames)")};
    return names;
}

const QStringList& BatchConvertModel::slotNames4K()
{
    static const QStringList names{QObject::tr("Full video"), QObject::tr("1 of 4 (Top left)"),
                                   QObject::tr("2 of 4 (Top right)"), QObject::tr("3 of 4 (Bottom left)"),
                                   QObject::tr("4 of 4 (Bottom right)")};
    return names;
}

const QStringList& BatchConvertModel::slotNames4KHfr()
{
    static const QStringList names{
        QObject::tr("Full video"),
        QObject::tr("1 of 8 (Top left, odd frames)"),
        QObject::tr("2 of 8 (Top left, even frames)"),
        QObject::tr("3 of 8 (Top right, odd frames)"),
        QObject::tr("4 of 8 (Top right, even frames)"),
        QObject::tr("5 of 8 (Bottom left, odd frames)"),
        QObject::tr("6 of 8 (Bottom left, even frames)"),
        QObject::tr("7 of 8 (Bottom right, odd frames)"),
        QObject::tr("8 of 8 (Bottom right, even frames)"),
    };
    return names;
}

// ---------------------------------------------------------------------------
// Sources and destinations

void BatchConvertModel::addSource(TargaSequence* sequence)
{
    Source source;
    source.id = m_nextId++;
    source.sequence = sequence;
    source.fileName = sequence ? sequence->prefix() : QString();

    // A folder ending in digits names the clip number; otherwise the smallest
    // number no other source uses.
    static const QRegularExpression trailingDigits(QStringLiteral("(\\d+)$"));
    const QRegularExpressionMatch match = trailingDigits.match(sequence ? sequence->directory() : QString());
    if (match.hasMatch()) {
        QString digits;
        qint64 number = 0;
        for (const QChar c : match.captured(1)) {
            if (digits.isEmpty() && c.digitValue() == 0)
                continue;
            digits += QChar('0' + c.digitValue());
            number = std::min<qint64>(number * 10 + c.digitValue(), qint64(std::numeric_limits<int>::max()) + 1);
        }
        if (number > std::numeric_limits<int>::max()) {
            source.fileNumber = std::numeric_limits<int>::max();
            source.oversizeNumber = digits;
        } else {
            source.fileNumber = number >= 1 ? int(number) : 1;
        }
    } else {
        std::vector<int> used;
        for (const Source& s : m_sources)
            used.push_back(s.fileNumber);
        std::sort(used.begin(), used.end());
        int n = 1;
        for (int v : used) {
            if (n < v)
                break;
            n = v + 1;
        }
        source.fileNumber = n;
        source.automaticNumber = true;
    }

    const int row = int(m_sources.size());
    beginInsertRows(QModelIndex(), row, row);
    m_sources.push_back(std::move(source));
    endInsertRows();
}

void BatchConvertModel::removeSource(int row)
{
    if (row < 0 || row >= int(m_sources.size()))
        return;
    beginRemoveRows(QModelIndex(), row, row);
    delete m_sources[size_t(row)].sequence;
    m_sources.erase(m_sources.begin() + row);
    endRemoveRows();
}

void BatchConvertModel::addDestination(int row, int slot)
{
    if (row < 0 || row >= int(m_sources.size()))
        return;
    Source& source = m_sources[size_t(row)];
    const int count = slotCountOf(source);
    if (slot < 0) {
        slot = -1;
        if (count > 1) {
            slot = firstFreeSlot(row);
            if (slot == -1)
                slot = source.destinations.size() % count;
        }
    }
    Destination destination;
    destination.id = m_nextId++;
    destination.record.path = QString();
    destination.record.slot = slot;
    destination.record.status = DestinationPending;

    const int at = source.destinations.size();
    beginInsertRows(index(row, 0), at, at);
    source.destinations.append(destination);
    endInsertRows();
}

void BatchConvertModel::removeDestination(int row, int destination)
{
    if (!destinationAt(row, destination))
        return;
    beginRemoveRows(index(row, 0), destination, destination);
    m_sources[size_t(row)].destinations.removeAt(destination);
    endRemoveRows();
}

TargaSequence* BatchConvertModel::sequenceAt(int row) const
{
    if (row < 0 || row >= int(m_sources.size()))
        return nullptr;
    return m_sources[size_t(row)].sequence;
}

const BatchConvertModel::Destination* BatchConvertModel::destinationAt(int row, int destination) const
{
    if (row < 0 || row >= int(m_sources.size()))
        return nullptr;
    const Source& source = m_sources[size_t(row)];
    if (destination < 0 || destination >= source.destinations.size())
        return nullptr;
    return &source.destinations[destination];
}

BatchConvertModel::Destination* BatchConvertModel::destinationAt(int row, int destination)
{
    return const_cast<Destination*>(static_cast<const BatchConvertModel*>(this)->destinationAt(row, destination));
}

QString BatchConvertModel::outputBaseName(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    if (!d)
        return QString();
    const Source& source = m_sources[size_t(row)];
    // An unloaded sequence has no rate (its index reads -1).
    const int rate = source.sequence ? source.sequence->frameRateIndex() : -1;
    if (rate < 0 || rate >= frameRateCodes().size())
        return QString();
    if (!QDir(d->record.path).exists())
        return QString();
    return d->record.path + source.fileName + QStringLiteral("_f") + frameRateCodes().at(rate) + QLatin1Char('_')
        + clipNumberOf(source, 5);
}

QString BatchConvertModel::clipNumberOf(const Source& source, int width)
{
    return source.oversizeNumber.isEmpty() ? clipNumberText(source.fileNumber, width) : source.oversizeNumber;
}

int BatchConvertModel::slotCountOf(const Source& source)
{
    return source.sequence ? source.sequence->slotCount() : 1;
}

int BatchConvertModel::slotOf(const Source& source, const Destination& destination) const
{
    const int count = slotCountOf(source);
    const int slot = destination.record.slot;
    // With one group there are no slots: whatever slot was stored while the
    // rate was high, the destination takes the whole video.
    if (slot < 0 || count <= 1)
        return -1;
    return slot % count;
}

int BatchConvertModel::slotOf(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    return d ? slotOf(m_sources[size_t(row)], *d) : -1;
}

int BatchConvertModel::firstFreeSlot(int row) const
{
    if (row < 0 || row >= int(m_sources.size()))
        return -1;
    const Source& source = m_sources[size_t(row)];
    const int count = slotCountOf(source);
    if (count <= 1)
        return -1;
    std::vector<bool> taken(size_t(count), false);
    for (const Destination& d : source.destinations) {
        const int slot = slotOf(source, d);
        if (slot >= 0 && slot < count)
            taken[size_t(slot)] = true;
    }
    for (int slot = 0; slot < count; ++slot) {
        if (!taken[size_t(slot)])
            return slot;
    }
    return -1;
}

QString BatchConvertModel::slotName(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    if (!d)
        return QString();
    const Source& source = m_sources[size_t(row)];
    const TargaSequence* sequence = source.sequence;
    const bool split = sequence && sequence->isSplit();
    const bool high = sequence && sequence->isHighFrameRate();
    const QStringList& names = split && high ? slotNames4KHfr() : split ? slotNames4K() : slotNamesHfr();
    return names.value(slotOf(source, *d) + 1);
}

void BatchConvertModel::setSlot(int row, int destination, int slot)
{
    Destination* d = destinationAt(row, destination);
    if (!d)
        return;
    d->record.slot = slot < 0 ? -1 : slot % slotCountOf(m_sources[size_t(row)]);
    const QModelIndex cell = index(destination, SlotColumn, index(row, 0));
    emit dataChanged(cell, cell);
}

QList<int> BatchConvertModel::destinationsForSlot(int row, int slot) const
{
    QList<int> found;
    if (row < 0 || row >= int(m_sources.size()))
        return found;
    const Source& source = m_sources[size_t(row)];
    for (int i = 0; i < source.destinations.size(); ++i) {
        const Destination& d = source.destinations[i];
        if (slotOf(source, d) == slot && !d.record.path.isEmpty() && QDir(d.record.path).exists()
            && d.record.status != DestinationCompleted)
            found.append(i);
    }
    return found;
}

int BatchConvertModel::destinationStatus(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    return d ? d->record.status : DestinationPending;
}

BatchConvertModel::DestinationVolume BatchConvertModel::destinationVolume(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    return d ? d->volume : DestinationVolume();
}

BatchConvertModel::DestinationVolume BatchConvertModel::readVolume(const QString& path)
{
    DestinationVolume volume;
    if (path.isEmpty())
        return volume;
    const VolumeInfo info(path);
    volume.label = info.name();
    volume.root = info.rootPath();
    volume.playerDrive = info.isPlayerDrive();
    return volume;
}

void BatchConvertModel::refreshDestinations()
{
    for (size_t row = 0; row < m_sources.size(); ++row) {
        QList<Destination>& destinations = m_sources[row].destinations;
        for (int i = 0; i < destinations.size(); ++i) {
            Destination& d = destinations[i];
            const DestinationVolume volume = readVolume(d.record.path);
            if (volume.label == d.volume.label && volume.root == d.volume.root
                && volume.playerDrive == d.volume.playerDrive)
                continue;
            d.volume = volume;
            const QModelIndex cell = index(i, DestinationColumn, index(int(row), 0));
            emit dataChanged(cell, cell);
        }
    }
}

void BatchConvertModel::setRequiredVolume(int row, int destination, const QString& label)
{
    Destination* d = destinationAt(row, destination);
    if (!d)
        return;
    d->volumeRequired = true;
    d->volumeRootRequired = false;
    d->volumeLabel = label;
}

QString BatchConvertModel::destinationPath(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    return d ? d->record.path : QString();
}

bool BatchConvertModel::volumeGone(int row, int destination) const
{
    const Destination* d = destinationAt(row, destination);
    if (!d || !d->volumeRequired || d->record.path.isEmpty())
        return false;
    const VolumeInfo volume(d->record.path);
    if (!volume.isValid() || volume.name() != d->volumeLabel)
        return true;
    return d->volumeRootRequired && QDir::cleanPath(volume.rootPath()) != QDir::cleanPath(d->record.path);
}

void BatchConvertModel::assignFreeClipNumber(int row)
{
    Source& source = m_sources[size_t(row)];
    if (!source.automaticNumber)
        return;
    QSet<qint64> taken;
    for (size_t s = 0; s < m_sources.size(); ++s) {
        if (int(s) != row)
            taken.insert(m_sources[s].fileNumber);
    }
    QList<QPair<QString, QMap<QString, qint64>>> drives;
    for (const Destination& d : qAsConst(source.destinations)) {
        if (!d.record.path.isEmpty() && QDir(d.record.path).exists())
            drives.append(qMakePair(d.record.path, numberedFolders(d.record.path)));
    }
    // A number is free where no folder has it but a clip folder this source
    // wrote itself: the name alone (prefix, rate, number) may be another
    // source's, whose frames have the same names.
    auto freeOnDrives = [&](int number) {
        for (const auto& drive : qAsConst(drives)) {
            for (auto it = drive.second.constBegin(); it != drive.second.constEnd(); ++it) {
                if (it.value() == number && !source.writtenClips.contains(drive.first + it.key()))
                    return false;
            }
        }
        return true;
    };
    int number = 1;
    while (number < MaxFileNumber && (taken.contains(number) || !freeOnDrives(number)))
        ++number;
    if (number == source.fileNumber)
        return;
    source.fileNumber = number;
    if (!source.destinations.isEmpty()) {
        const QModelIndex cell = index(0, FileNumberColumn, index(row, 0));
        emit dataChanged(cell, cell);
    }
}

void BatchConvertModel::assignFreeClipNumbers()
{
    for (size_t row = 0; row < m_sources.size(); ++row)
        assignFreeClipNumber(int(row));
}

QList<BatchConvertModel::ClipNumberClash>
BatchConvertModel::clipNumberClashes(const QList<QPair<int, int>>& destinations) const
{
    QList<ClipNumberClash> clashes;
    // Clip folders of this batch met so far, by the folder they go in.
    QMap<QString, QMap<QString, qint64>> planned;
    for (const auto& at : destinations) {
        const Destination* d = destinationAt(at.first, at.second);
        const QString clip = outputBaseName(at.first, at.second);
        if (!d || clip.isEmpty() || !d->volume.playerDrive)
            continue;
        const Source& source = m_sources[size_t(at.first)];
        const QFileInfo clipInfo(clip);
        const QString parent = clipInfo.absolutePath();
        const QString name = clipInfo.fileName();
        const QString where = QDir::toNativeSeparators(d->record.path);
        ClipNumberClash clash{at.first, at.second, QString()};
        if (source.fileNumber > MaxPlayerClipNumber) {
            clash.reason = tr("%1: clip number %2 is above %3, the highest clip number a player drive plays.")
                               .arg(QDir::toNativeSeparators(clip))
                               .arg(clipNumberOf(source, 1))
                               .arg(MaxPlayerClipNumber);
            clashes << clash;
            continue;
        }
        QMap<QString, qint64> folders = numberedFolders(parent);
        const QMap<QString, qint64>& ours = planned[parent];
        for (auto it = ours.constBegin(); it != ours.constEnd(); ++it)
            folders.insert(it.key(), it.value());
        QStringList others;
        for (auto it = folders.constBegin(); it != folders.constEnd(); ++it) {
            if (it.value() == source.fileNumber && it.key() != name)
                others << it.key();
        }
        if (!others.isEmpty()) {
            clash.reason = tr("%1 on %2 has clip number %3, which %4 there already has: a player drive plays "
                              "one clip per number.")
                               .arg(name, where)
                               .arg(source.fileNumber)
                               .arg(others.join(QStringLiteral(", ")));
            clashes << clash;
            continue;
        }
        planned[parent].insert(name, source.fileNumber);
    }
    return clashes;
}

// ---------------------------------------------------------------------------
// Item model

BatchConvertModel::Location BatchConvertModel::locate(const QModelIndex& index) const
{
    Location at;
    if (!index.isValid() || index.model() != this)
        return at;
    const quintptr id = index.internalId();
    for (size_t s = 0; s < m_sources.size(); ++s) {
        const Source& source = m_sources[s];
        if (source.id == id) {
            at.source = int(s);
            return at;
        }
        for (int d = 0; d < source.destinations.size(); ++d) {
            if (source.destinations[d].id == id) {
                at.source = int(s);
                at.destination = d;
                return at;
            }
        }
    }
    return at;
}

QModelIndex BatchConvertModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    if (!parent.isValid())
        return createIndex(row, column, m_sources[size_t(row)].id);
    const Location at = locate(parent);
    if (!at.isValid() || at.destination >= 0)
        return QModelIndex();
    return createIndex(row, column, m_sources[size_t(at.source)].destinations[row].id);
}

QModelIndex BatchConvertModel::parent(const QModelIndex& child) const
{
    const Location at = locate(child);
    if (!at.isValid() || at.destination < 0)
        return QModelIndex();
    return createIndex(at.source, 0, m_sources[size_t(at.source)].id);
}

int BatchConvertModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(m_sources.size());
    // Destinations hang under the first column of their source, as in any tree.
    if (parent.column() != 0)
        return 0;
    const Location at = locate(parent);
    if (!at.isValid() || at.destination >= 0)
        return 0;
    return m_sources[size_t(at.source)].destinations.size();
}

int BatchConvertModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QString BatchConvertModel::sourceText(const Source& source) const
{
    const TargaSequence* sequence = source.sequence;
    if (!sequence || sequence->firstFrame() < 0)
        return QString();
    const int digits = sequence->digitCount();
    const int first = sequence->firstFrame();
    const int last = std::max(0, first + std::max(0, sequence->frameCount()) - 1);
    return QString::asprintf("%s[%0*u-%0*u].tga (", sequence->prefix().toUtf8().constData(), digits, unsigned(first),
                             digits, unsigned(last))
        + QDir::toNativeSeparators(sequence->directory()) + QLatin1Char(')');
}

QString BatchConvertModel::destinationText(const Destination& destination) const
{
    const QString& path = destination.record.path;
    if (path.isEmpty())
        return tr("Select a drive");
    const QString& label = destination.volume.label;
    const QString nativePath = QDir::toNativeSeparators(path);
    return label.isEmpty() ? nativePath : QStringLiteral("%1 (%2)").arg(label, nativePath);
}

QString BatchConvertModel::statusText(const Source& source, const Destination& destination) const
{
    const int status = destination.record.status;
    if (status == DestinationCompleted)
        return tr("Completed");
    if (destination.record.path.isEmpty())
        return tr("No drive selected");
    const TargaSequence* sequence = source.sequence;
    if (status >= 0 && sequence->isRunning()) {
        const int frames = sequence->frameCount();
        if (frames <= 0)
            return QString();
        return tr("%1 of %2 frames (%3%)").arg(status).arg(frames).arg(status * 100.0 / frames, 0, 'f', 2);
    }
    switch (status) {
    case DestinationPending:
        return tr("Pending");
    case DestinationFailed:
        return tr("Conversion failed");
    case DestinationIndexing:
        return tr("Indexing files...");
    case DestinationCanceled:
        return tr("Canceled");
    default:
        return QString();
    }
}

QVariant BatchConvertModel::progressPicture(const Source& source, int framesDone) const
{
    const int frames = source.sequence->frameCount();
    // A widget can only be drawn on the GUI thread of a widget application.
    if (frames <= 0 || !qobject_cast<QApplication*>(QCoreApplication::instance())
        || QThread::currentThread() != QCoreApplication::instance()->thread())
        return QVariant();
    if (!m_progressBar) {
        m_progressBar.reset(new QProgressBar);
        m_progressBar->setFixedSize(100, 15);
        m_progressBar->setTextVisible(false);
    }
    m_progressBar->setRange(0, frames);
    m_progressBar->setValue(std::min(framesDone, frames));
    QPixmap picture(m_progressBar->size());
    picture.fill(Qt::transparent);
    m_progressBar->render(&picture, QPoint(0, 0), QRegion(),
                          QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return picture;
}

QVariant BatchConvertModel::destinationData(int row, int destination, int column, int role) const
{
    const Source& source = m_sources[size_t(row)];
    const Destination& d = source.destinations[destination];
    const bool first = destination == 0;
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case DestinationColumn:
            return destinationText(d);
        case SlotColumn:
            return slotName(row, destination);
        case FileNameColumn:
            return first ? QVariant(source.fileName) : QVariant();
        case FileNumberColumn:
            return first ? QVariant(clipNumberOf(source, 4)) : QVariant();
        case StatusColumn:
            return statusText(source, d);
        }
        break;
    case Qt::EditRole:
        switch (column) {
        case SlotColumn:
            return slotOf(source, d) + 1;
        case FileNameColumn:
            return first ? QVariant(source.fileName) : QVariant();
        case FileNumberColumn:
            return first ? QVariant(source.fileNumber) : QVariant();
        }
        break;
    case Qt::DecorationRole:
        if (column == StatusColumn && d.record.status > 0)
            return progressPicture(source, d.record.status);
        break;
    case Qt::FontRole:
        if (column == DestinationColumn) {
            QFont font;
            font.setUnderline(true);
            return font;
        }
        break;
    case Qt::ForegroundRole:
        if (column == DestinationColumn)
            return QBrush(Qt::blue);
        break;
    case CursorRole:
        if (column == DestinationColumn)
            return int(Qt::PointingHandCursor);
        break;
    }
    return QVariant();
}

QVariant BatchConvertModel::data(const QModelIndex& index, int role) const
{
    const Location at = locate(index);
    if (!at.isValid())
        return QVariant();
    const Source& source = m_sources[size_t(at.source)];
    if (!source.sequence)
        return QVariant();
    if (at.destination >= 0)
        return destinationData(at.source, at.destination, index.column(), role);
    if (role == Qt::DisplayRole)
        return sourceText(source);
    if (role == Qt::FontRole) {
        QFont font;
        font.setWeight(QFont::Bold);
        return font;
    }
    return QVariant();
}

void BatchConvertModel::changedRow(int row, int destination)
{
    const QModelIndex parent = index(row, 0);
    emit dataChanged(index(destination, 0, parent), index(destination, ColumnCount - 1, parent));
}

bool BatchConvertModel::setPath(const QModelIndex& index, Location at, const QString& path)
{
    Source& source = m_sources[size_t(at.source)];
    Destination& edited = source.destinations[at.destination];
    const QString oldPath = edited.record.path;
    edited.record.path = path;
    if (!path.isEmpty()) {
        // Look for every clash first, so that a refused path takes nobody
        // else's away.
        const QString name = outputBaseName(at.source, at.destination);
        QList<int> completed;
        bool busy = false;
        for (int i = 0; i < source.destinations.size() && !name.isEmpty(); ++i) {
            if (i == at.destination || outputBaseName(at.source, i) != name)
                continue;
            if (source.destinations[i].record.status == DestinationCompleted)
                completed.append(i);
            else
                busy = true;
        }
        if (busy) {
            edited.record.path = oldPath;
            // The box may run an event loop: nothing of this model is used after it.
            const QString text = tr("Cannot export multiple files to the same destination at the same time.\n\n"
                                    "Please select a different destination path.");
            reporting::report(reporting::Level::Warning, text, nullptr, reporting::Printed::AsError);
            return false;
        }
        for (int i : completed) {
            source.destinations[i].record.path.clear();
            source.destinations[i].volume = DestinationVolume();
            const QModelIndex cell = this->index(i, DestinationColumn, index.parent());
            emit dataChanged(cell, cell);
        }
    }
    edited.volume = readVolume(path);
    // A drive root is remembered as the volume it was, so that the batch can
    // tell when that volume has gone from under its folder.
    const QString& root = edited.volume.root;
    edited.volumeRootRequired = !root.isEmpty() && root != QLatin1String("/")
        && QDir::cleanPath(root) == QDir::cleanPath(path);
    edited.volumeRequired = edited.volumeRootRequired;
    edited.volumeLabel = edited.volumeRootRequired ? edited.volume.label : QString();
    edited.record.status = DestinationPending;
    changedRow(at.source, at.destination);
    assignFreeClipNumber(at.source);
    return true;
}

bool BatchConvertModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::EditRole)
        return false;
    const Location at = locate(index);
    if (!at.isValid() || at.destination < 0)
        return false;
    Source& source = m_sources[size_t(at.source)];
    Destination& d = source.destinations[at.destination];
    switch (index.column()) {
    case DestinationColumn:
        return setPath(index, at, value.toString());
    case SlotColumn:
        setSlot(at.source, at.destination, value.isNull() ? -1 : value.toInt() - 1);
        break;
    case FileNameColumn:
        if (value.isNull())
            return false;
        source.fileName = value.toString();
        break;
    case FileNumberColumn: {
        const int number = value.toInt();
        if (number < 1 || number > MaxFileNumber)
            return false;
        // The drive dialog hands the number back unchanged: only a new one is a choice.
        if (number != source.fileNumber)
            source.automaticNumber = false;
        source.fileNumber = number;
        source.oversizeNumber.clear();
        break;
    }
    case StatusColumn: {
        const int status = value.toInt();
        const int old = d.record.status;
        // Only a pending, counting or indexing destination can be canceled;
        // a completed one only goes back to pending.
        if (status == DestinationCanceled && old < 0 && old != DestinationIndexing)
            return false;
        if (old == DestinationCompleted && status != DestinationPending)
            return false;
        d.record.status = status;
        if (status > 0 || status == DestinationCompleted)
            source.writtenClips.insert(outputBaseName(at.source, at.destination));
        emit dataChanged(index, index);
        return true;
    }
    default:
        return false;
    }
    d.record.status = DestinationPending;
    changedRow(at.source, at.destination);
    return true;
}

QVariant BatchConvertModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case DestinationColumn:
        return tr("Destination");
    case SlotColumn:
        return tr("Slot");
    case FileNameColumn:
        return tr("File Name");
    case FileNumberColumn:
        return tr("File No.");
    case StatusColumn:
        return tr("Status");
    default:
        return QVariant();
    }
}

Qt::ItemFlags BatchConvertModel::flags(const QModelIndex& index) const
{
    const Location at = locate(index);
    if (!at.isValid())
        return Qt::NoItemFlags;
    const Qt::ItemFlags plain = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (at.destination < 0)
        return plain;
    const TargaSequence* sequence = m_sources[size_t(at.source)].sequence;
    bool editable = false;
    switch (index.column()) {
    case SlotColumn:
        editable = sequence && (sequence->isSplit() || sequence->isHighFrameRate());
        break;
    case FileNameColumn:
    case FileNumberColumn:
        editable = at.destination == 0;
        break;
    }
    return editable ? plain | Qt::ItemIsEditable : plain;
}
