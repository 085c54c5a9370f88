// The batch conversion tree: top-level rows are image sequences (sources),
// their children the destinations that receive each one as a clip folder.
#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "targasequence.h"

class QProgressBar;

class BatchConvertModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { DestinationColumn, SlotColumn, FileNameColumn, FileNumberColumn, StatusColumn, ColumnCount };
    // Qt::UserRole of a destination's drive cell: the cursor shape shown over it.
    static constexpr int CursorRole = Qt::UserRole;
    static constexpr int MaxFileNumber = 9999;
    // The highest clip number the index of a player drive holds.
    static constexpr int MaxPlayerClipNumber = 9998;

    explicit BatchConvertModel(QObject* parent = nullptr);
    ~BatchConvertModel() override;

    // Rate codes used in clip folder names, by frame-rate index.
    static const QStringList& frameRateCodes();
    // Slot names, read at slot + 1 (slot -1 is "Full video" in each).
    static const QStringList& slotNamesHfr();
    static const QStringList& slotNames4K();
    static const QStringList& slotNames4KHfr();

    // Takes ownership of sequence (which must have no parent, so that it can
    // move to its conversion thread).
    void addSource(TargaSequence* sequence);
    void removeSource(int row);
    void addDestination(int row, int slot = -1);
    void removeDestination(int row, int destination);

    TargaSequence* sequenceAt(int row) const;
    // The clip folder of a destination; empty when its root does not exist.
    QString outputBaseName(int row, int destination) const;
    int firstFreeSlot(int row) const;
    // The slot a destination receives with the sequence's current slot count.
    int slotOf(int row, int destination) const;
    QString slotName(int row, int destination) const;
    void setSlot(int row, int destination, int slot);
    // Destinations to convert for a slot: an existing root, not completed.
    QList<int> destinationsForSlot(int row, int slot) const;
    // A destination's status code; DestinationPending when out of range.
    int destinationStatus(int row, int destination) const;
    // A destination set to the root of a mounted volume must still be that
    // root, with the same label, when it is converted: a drive pulled out
    // leaves an empty folder of the system disk behind. The command-line run
    // names the label itself: the destination must lie on a volume with it.
    void setRequiredVolume(int row, int destination, const QString& label);
    // The destination's volume is no longer mounted as it was when chosen.
    bool volumeGone(int row, int destination) const;
    // The destination's root path; empty when out of range.
    QString destinationPath(int row, int destination) const;

    // The volume a destination's path lies on, as its row shows it.
    struct DestinationVolume {
        QString label;
        QString root;           // mount point with a trailing "/"; empty when none
        bool playerDrive = false;
    };
    DestinationVolume destinationVolume(int row, int destination) const;
    // Reads every destination's volume again (a batch starts: drives may have
    // come and gone since the paths were set).
    void refreshDestinations();

    // Every source whose folder gave no clip number takes the lowest number
    // that no other source and no clip folder beside its destinations' clip
    // folders uses, but those it wrote itself (a batch starts: the drives may
    // hold clips since).
    void assignFreeClipNumbers();
    // A destination whose clip a player drive would not play: its number is
    // above the players' limit, or another clip folder there has it.
    struct ClipNumberClash {
        int row = -1;
        int destination = -1;
        QString reason;
    };
    // The clashes among the destinations given (source row, destination), in
    // that order: a later destination also clashes with an earlier one's
    // clip folder, which is written first.
    QList<ClipNumberClash> clipNumberClashes(const QList<QPair<int, int>>& destinations) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    // Every node has an id of its own, never reused, so an index kept after
    // its row went away finds nothing instead of another row's data.
    struct Destination {
        quintptr id = 0;
        SequenceDestination record;
        // Read when the path is set or a batch starts, never in data(): a
        // repaint must not read the mount table or probe devices.
        DestinationVolume volume;
        bool volumeRequired = false;
        bool volumeRootRequired = false;
        QString volumeLabel;
    };
    struct Source {
        quintptr id = 0;
        TargaSequence* sequence = nullptr;
        QList<Destination> destinations;
        QString fileName;
        int fileNumber = 1;
        // The folder's number as written when it does not fit an int
        // (fileNumber is then the largest int): it must not wrap to another clip's.
        QString oversizeNumber;
        bool automaticNumber = false;   // the folder named none, and nobody chose one
        // Clip folders this source wrote in this session: the only ones that
        // are its own when it looks for a free number.
        QSet<QString> writtenClips;
    };
    struct Location {
        int source = -1;
        int destination = -1;   // -1 for a source row
        bool isValid() const { return source >= 0; }
    };

    Location locate(const QModelIndex& index) const;
    const Destination* destinationAt(int row, int destination) const;
    Destination* destinationAt(int row, int destination);
    static int slotCountOf(const Source& source);
    int slotOf(const Source& source, const Destination& destination) const;
    QString sourceText(const Source& source) const;
    QString destinationText(const Destination& destination) const;
    QString statusText(const Source& source, const Destination& destination) const;
    QVariant progressPicture(const Source& source, int framesDone) const;
    QVariant destinationData(int row, int destination, int column, int role) const;
    bool setPath(const QModelIndex& index, Location at, const QString& path);
    static DestinationVolume readVolume(const QString& path);
    void changedRow(int row, int destination);
    static QString clipNumberOf(const Source& source, int width);
    void assignFreeClipNumber(int row);

    std::vector<Source> m_sources;
    quintptr m_nextId = 1;
    // Drawn into the status cells; built on first use, owned here.
    mutable std::unique_ptr<QProgressBar> m_progressBar;
};
