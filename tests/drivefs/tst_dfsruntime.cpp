// Protected blocks, the fatal paths, start-up checks and locks.
#include <QtTest>

#include <new>
#include <string>
#include <vector>

#include "dfstest.h"

using namespace dfstest;

class TestDfsRuntime : public QObject {
    Q_OBJECT

private slots:
    void protectedBlockOrdering_data();
    void protectedBlockOrdering();
    void reExecuteRestartsBody();
    void nestedBlockPassesCodeOutward();
    void raiseInHandlerRunsFinalOnce();
    void foreignExceptionLeavesChain_data();
    void foreignExceptionLeavesChain();
    void fatalPaths_data();
    void fatalPaths();
    void driverVersionLimits_data();
    void driverVersionLimits();
    void testAndSetByte();
    void lockOrderAndOwnership();
};

// What a block does: raise in the body, and what the handler does with it.
enum HandlerAction { Nothing, Handle, Raise };

void TestDfsRuntime::protectedBlockOrdering_data()
{
    QTest::addColumn<int>("bodyCode");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("trace");
    QTest::newRow("normal end") << 0 << int(Nothing) << 0 << "B F";
    QTest::newRow("unhandled raise") << -18 << int(Nothing) << -18 << "B H-18 F";
    QTest::newRow("handled raise") << -18 << int(Handle) << 0 << "B H-18 F";
    QTest::newRow("raise in handler") << -18 << int(Raise) << -27 << "B H-18 F";
}

void TestDfsRuntime::protectedBlockOrdering()
{
    QFETCH(int, bodyCode);
    QFETCH(int, action);
    QFETCH(int, result);
    QFETCH(QString, trace);
    QStringList steps;
    int32_t r = Protected(
        [&] {
            steps << "B";
            if (bodyCode)
                RaiseError(bodyCode);
        },
        [&](ExceptionFrame& f) {
            steps << QString("H%1").arg(f.code);
            QCOMPARE(f.state, 1);
            if (action == Handle)
                HandleException(&f);
            else if (action == Raise)
                RaiseError(-27);
        },
        [&] { steps << "F"; });
    QCOMPARE(r, result);
    QCOMPARE(steps.join(' '), trace);
    QVERIFY(TopExceptionFrame() == nullptr);
}

void TestDfsRuntime::reExecuteRestartsBody()
{
    int bodies = 0, finals = 0;
    int32_t r = Protected(
        [&] {
            if (++bodies < 3)
                RaiseError(-26);
        },
        [&](ExceptionFrame& f) {
            QCOMPARE(f.code, -26);
            XReExecute();
        },
        [&] { ++finals; });
    QCOMPARE(r, 0);
    QCOMPARE(bodies, 3);
    QCOMPARE(finals, 1);
}

void TestDfsRuntime::nestedBlockPassesCodeOutward()
{
    QStringList steps;
    int32_t r = Protected(
        [&] {
            Protected([&] { RaiseError(-9); }, [&](ExceptionFrame&) { steps << "inner handler"; },
                      [&] { steps << "inner final"; });
            steps << "not reached";
        },
        [&](ExceptionFrame& f) {
            steps << QString("outer handler %1").arg(f.code);
            HandleException(&f);
        },
        [&] { steps << "outer final"; });
    QCOMPARE(r, 0);
    QCOMPARE(steps, QStringList({"inner handler", "inner final", "outer handler -9", "outer final"}));
}

void TestDfsRuntime::raiseInHandlerRunsFinalOnce()
{
    int finals = 0;
    int32_t outer = Protected(
        [&] {
            Protected([] { RaiseError(-4); }, [](ExceptionFrame&) { RaiseError(-13); }, [&] { ++finals; });
        },
        [](ExceptionFrame&) {}, [] {});
    QCOMPARE(outer, -13);
    QCOMPARE(finals, 1);
}

void TestDfsRuntime::foreignExceptionLeavesChain_data()
{
    QTest::addColumn<bool>("inHandler");
    QTest::newRow("thrown in the body") << false;
    QTest::newRow("thrown in the handler") << true;
}

// A std::bad_alloc out of a protected block must not leave its frame on the
// thread's chain: the next raise would go to the dead frame (or be fatal).
void TestDfsRuntime::foreignExceptionLeavesChain()
{
    QFETCH(bool, inHandler);
    int finals = 0;
    bool caught = false;
    try {
        Protected(
            [&] {
                if (inHandler)
                    RaiseError(-3);
                throw std::bad_alloc();
            },
            [&](ExceptionFrame&) { throw std::bad_alloc(); }, [&] { ++finals; });
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    QVERIFY(caught);
    QCOMPARE(finals, 1);
    QVERIFY(TopExceptionFrame() == nullptr);

    // Caught inside an outer block, which then raises a code of its own: the
    // outer handler gets it.
    QStringList steps;
    int32_t r = Protected(
        [&] {
            try {
                Protected([&] { throw std::bad_alloc(); }, [&](ExceptionFrame&) { steps << "inner handler"; },
                          [&] { steps << "inner final"; });
            } catch (const std::bad_alloc&) {
                steps << "caught";
            }
            RaiseError(-12);
        },
        [&](ExceptionFrame& f) {
            steps << QString("outer handler %1").arg(f.code);
            HandleException(&f);
        },
        [&] { steps << "outer final"; });
    QCOMPARE(r, 0);
    QCOMPARE(steps, QStringList({"inner final", "caught", "outer handler -12", "outer final"}));
    QVERIFY(TopExceptionFrame() == nullptr);
}

void TestDfsRuntime::fatalPaths_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");
    QTest::newRow("raise zero") << 0 << 1 << "Cannot raise positive error code";
    QTest::newRow("raise positive") << 1 << 5 << "Cannot raise positive error code";
    QTest::newRow("raise without frame") << 2 << (-5 & 0xFF) << "Unhandled DriveFs exception";
    QTest::newRow("raise within finally") << 3 << 1 << "Raise within finally";
    QTest::newRow("handled outside handler") << 4 << 1 << "Internal: exception handled outside handler";
    QTest::newRow("re-execute without frame") << 5 << 1 << "no exception handler frame in XReExecute";
    QTest::newRow("leave mutex not owned") << 6 << 1 << "Attempt to free not owned mutex";
    QTest::newRow("buffers without lock") << 7 << 1 << "Attempt access buffers without locking";
    QTest::newRow("data version") << 8 << 1 << "DriveFsData version mismatch";
    QTest::newRow("too many file handles") << 9 << 1 << "Too many file handles";
    QTest::newRow("same device data") << 10 << 1 << "Two device list entries use the same device data";
    QTest::newRow("critical handler answer") << 11 << 1 << "Invalid return value from critical error handler";
    QTest::newRow("lock null device") << 12 << 1 << "can't lock null device";
    QTest::newRow("discard without current buffer") << 13 << 1 << "Can't discard non-current buffer";
    QTest::newRow("alternate buffer held") << 14 << 1 << "AltBuffer not freed";
    QTest::newRow("buffer allocated twice") << 15 << 1 << "Buffer allocated twice";
}

void TestDfsRuntime::fatalPaths()
{
    QFETCH(int, which);
    QFETCH(int, exitCode);
    QFETCH(QString, text);
    DeathResult r = RunInChild([which] {
        switch (which) {
        case 0: RaiseError(0);
        case 1: RaiseError(5);
        case 2: RaiseError(-5);
        case 3: Protected([] {}, [](ExceptionFrame&) {}, [] { RaiseError(-18); }); break;
        case 4: {
            ExceptionFrame f;
            HandleException(&f);
            break;
        }
        case 5: XReExecute();
        case 6: {
            DfsMutex m("x");
            m.Leave();
            break;
        }
        case 7: {
            MemDevices devs;
            devs.Start();
            DfsDevice* d = &devs.list[0];
            GetSectorBuffer(d, 1, 0);
            break;
        }
        case 8: {
            MemDevices devs;
            g_driveFsData.version = 534;
            devs.Start();
            break;
        }
        case 9: {
            MemDevices devs;
            g_driveFsData.fileSlotCount = 65537;
            devs.Start();
            break;
        }
        case 10: {
            MemDevices devs(2);
            devs.list[1].driverData = devs.list[0].driverData;
            devs.Start();
            break;
        }
        case 11: {
            MemDevices devs;
            devs.Start();
            g_criticalErrorHandler = [](char, uint32_t, int32_t) { return 2; };
            devs.disks[0].failCode = -18;
            devs.disks[0].failSector = 9;
            DfsDevice* d = &devs.list[0];
            LockDevice(d);
            Try([&] { GetSectorBuffer(d, 9, GSB_NO_READAHEAD); });
            break;
        }
        case 12: LockDevice(nullptr); break;
        case 13: {
            MemDevices devs;
            devs.Start();
            LockDevice(&devs.list[0]);
            ReleaseCurrentBuffer(&devs.list[0]);
            DiscardCurrentBuffer(&devs.list[0]);
            break;
        }
        case 14: {
            MemDevices devs;
            devs.Start();
            DfsDevice* d = &devs.list[0];
            LockDevice(d);
            Try([&] {
                GetSectorBuffer(d, 3, GSB_ALTERNATE | GSB_NO_READAHEAD);
                GetSectorBuffer(d, 4, GSB_NO_READAHEAD);
            });
            break;
        }
        case 15: {
            MemDevices devs;
            devs.Start();
            DfsDevice* d = &devs.list[0];
            LockDevice(d);
            Try([&] {
                GetSectorBuffer(d, 3, GSB_NO_READAHEAD);
                GetSectorBuffer(d, 3, GSB_ALTERNATE | GSB_NO_READAHEAD);
            });
            break;
        }
        }
    });
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(QString::fromStdString(r.err).trimmed(), "DriveFs Error: " + text);
}

void TestDfsRuntime::driverVersionLimits_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("199") << 199 << false;
    QTest::newRow("200") << 200 << true;
    QTest::newRow("535") << 535 << true;
    QTest::newRow("536") << 536 << false;
}

void TestDfsRuntime::driverVersionLimits()
{
    QFETCH(int, version);
    QFETCH(bool, accepted);
    DeathResult r = RunInChild([version] {
        MemDevices devs;
        static DfsDriver driver;
        driver = g_memDriver;
        driver.version = version;
        devs.list[0].driver = &driver;
        devs.Start();
    });
    if (accepted) {
        QCOMPARE(r.exitCode, 0);
    } else {
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.find("Device driver version mismatch") != std::string::npos);
    }
}

void TestDfsRuntime::testAndSetByte()
{
    volatile uint8_t b = 0;
    QCOMPARE(int(TestAndSetByte(&b)), 0);
    QCOMPARE(int(b), 1);
    QCOMPARE(int(TestAndSetByte(&b)), 1);

    // Eight threads racing for eight slots each get a different one.
    MemDevices devs;
    devs.Start();
    std::vector<std::thread> threads;
    std::vector<DfsFile*> got(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { Try([&] { got[size_t(i)] = ClaimFileSlot(); }); });
    for (auto& t : threads)
        t.join();
    std::sort(got.begin(), got.end());
    QVERIFY(got[0] != nullptr);
    QVERIFY(std::unique(got.begin(), got.end()) == got.end());
    QCOMPARE(Try([] { ClaimFileSlot(); }), -5);
    for (DfsFile* f : got)
        ReleaseFileSlot(f);
}

void TestDfsRuntime::lockOrderAndOwnership()
{
    MemDevices devs;
    devs.Start();
    DfsDevice* d = &devs.list[0];
    LockDevice(d);
    QVERIFY(d->mutex->OwnedByCaller());
    QVERIFY(g_globalMutex.load()->OwnedByCaller());
    // Another thread waits on the device mutex while this one holds it.
    std::atomic<bool> entered {false};
    std::thread other([&] {
        LockDevice(d);
        entered = true;
        UnlockDevice(d);
    });
    QVERIFY(testutil::neverWithin(50, [&] { return entered.load(); }));
    QVERIFY(!entered);
    // During a transfer only the device mutex is held: the global one is free.
    std::atomic<bool> globalFree {false};
    static std::function<void()> duringRead;
    duringRead = [&] {
        std::thread probe([&] {
            g_globalMutex.load()->Enter();
            globalFree = true;
            g_globalMutex.load()->Leave();
        });
        probe.join();
    };
    static DfsDriver spy;
    spy = g_memDriver;
    spy.ReadSectors = [](void* data, uint64_t first, uint32_t count, void* buffer) {
        duringRead();
        return g_memDriver.ReadSectors(data, first, count, buffer);
    };
    d->driver = &spy;
    uint8_t sector[512];
    QCOMPARE(Try([&] { ReadDeviceSectors(d, sector, 2, 1, 0); }), 0);
    QVERIFY(globalFree);
    QVERIFY(g_globalMutex.load()->OwnedByCaller());
    d->driver = &g_memDriver;
    UnlockDevice(d);
    other.join();
    QVERIFY(entered);
}

QTEST_GUILESS_MAIN(TestDfsRuntime)
#include "tst_dfsruntime.moc"
