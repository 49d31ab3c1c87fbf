// SPDX-License-Identifier: MIT
#include "platform/filetypes.h"
#include "recordingregistry.h"

#include <QTest>

using platform::FileType;
using platform::FileTypeRegistry;
using platform::FileTypes;

namespace {

RecordingRegistry& registry() {
    return RecordingRegistry::installed();
}

const QStringList kStartUpLog{
    "register image/jpeg ogle JPEG .jpe;.jpeg;.jpg",
    "register image/gif ogle GIFf .gif",
    "register text/plain ttxt TEXT .asc;.ascii;.text;.txt",
};

void makeType(FileType& type, const QString& name) {
    type.setName(name);
    type.setExtensions("." + name.section('/', 1));
    type.setMacType("TYPE");
    type.setMacCreator("CRTR");
}

} // namespace

class TestFileTypes : public QObject {
    Q_OBJECT

private slots:
    // Every case starts from a fresh start-up with an empty log.
    void init() {
        FileTypes::Release();
        registry().log.clear();
        platform::InitFileTypes();
    }
    void cleanup() { FileTypes::Release(); }

    void startUpRegistersTheThreeTypesInOrder() {
        QCOMPARE(registry().log, kStartUpLog);
        const auto entries = registry().entries();
        QCOMPARE(entries.size(), size_t(3));
        QCOMPARE(entries[0].name, "image/jpeg");
        QCOMPARE(entries[1].name, "image/gif");
        QCOMPARE(entries[2].name, "text/plain");
        QCOMPARE(FileTypes::pTextPlain->MacCreator(), "ttxt");
    }

    void conversionOfARegisteredTypeRegistersNothingNew() {
        registry().log.clear();
        QCOMPARE(static_cast<QString>(*FileTypes::pImageJpeg), "image/jpeg");
        QVERIFY(registry().log.isEmpty());
    }

    void openDialogFilter() {
        const QString filter = *FileTypes::pImageJpeg + *FileTypes::pImageGif;
        QCOMPARE(filter, "image/jpeg;image/gif");
        QCOMPARE(registry().nameFilters(filter),
                 (QStringList{"image/jpeg;image/gif (*.jpe *.jpeg *.jpg *.gif)",
                              "image/jpeg (*.jpe *.jpeg *.jpg)", "image/gif (*.gif)"}));
        QCOMPARE(registry().nameFilters("image/unknown;text/plain"),
                 QStringList{"text/plain (*.asc *.ascii *.text *.txt)"});
    }

    void settersWithdrawTheRegistrationFirst_data() {
        QTest::addColumn<int>("field");
        QTest::newRow("Name") << 0;
        QTest::newRow("Extensions") << 1;
        QTest::newRow("MacType") << 2;
        QTest::newRow("MacCreator") << 3;
    }
    void settersWithdrawTheRegistrationFirst() {
        QFETCH(int, field);
        FileType& jpeg = *FileTypes::pImageJpeg;
        registry().log.clear();
        switch (field) {
        case 0:
            jpeg.setName("image/pjpeg");
            break;
        case 1:
            jpeg.setExtensions(".jpg");
            break;
        case 2:
            jpeg.setMacType("JPG ");
            break;
        case 3:
            jpeg.setMacCreator("prvw");
            break;
        }
        // Withdrawn at once, by the name it was registered under, and by that alone.
        QCOMPARE(registry().log, QStringList{"deregister image/jpeg"});
        QVERIFY(!jpeg.isRegistered());
        QVERIFY(!registry().contains("image/jpeg"));
        // A second change while unregistered withdraws nothing more.
        jpeg.setMacType("JPEG");
        QCOMPARE(registry().log.size(), 1);
    }

    void nextUseRegistersTheNewValues() {
        FileType& jpeg = *FileTypes::pImageJpeg;
        jpeg.setExtensions(".jpg");
        registry().log.clear();
        QCOMPARE(jpeg + *FileTypes::pImageGif, "image/jpeg;image/gif");
        QCOMPARE(registry().log, QStringList{"register image/jpeg ogle JPEG .jpg"});
        QCOMPARE(registry().nameFilters("image/jpeg"), QStringList{"image/jpeg (*.jpg)"});
    }

    void operatorsRegisterEveryTypeInvolved() {
        FileType left, right;
        makeType(left, "a/left");
        makeType(right, "a/right");
        QCOMPARE(left + right, "a/left;a/right");
        QCOMPARE(registry().log.mid(3), (QStringList{"register a/left CRTR TYPE .left",
                                                     "register a/right CRTR TYPE .right"}));

        FileType lone;
        makeType(lone, "a/lone");
        QCOMPARE(lone + QString("x/y"), "a/lone;x/y");
        QVERIFY(lone.isRegistered());
        FileType other;
        makeType(other, "a/other");
        QCOMPARE(QString("x/y") + other, "x/y;a/other");
        QVERIFY(other.isRegistered());
    }

    void releaseWithdrawsInOrder() {
        registry().log.clear();
        FileTypes::Release();
        QCOMPARE(registry().log, (QStringList{"deregister image/jpeg", "deregister image/gif",
                                              "deregister text/plain"}));
        QVERIFY(!FileTypes::pImageJpeg && !FileTypes::pImageGif && !FileTypes::pTextPlain);
        QVERIFY(registry().entries().empty());
    }

    void withdrawalWaitsForTheLastReference() {
        const auto held = FileTypes::pImageGif;
        registry().log.clear();
        FileTypes::Release();
        QCOMPARE(registry().log, (QStringList{"deregister image/jpeg", "deregister text/plain"}));
        QVERIFY(registry().contains("image/gif"));
    }

    void neverRegisteredTypeWithdrawsNothing() {
        registry().log.clear();
        {
            FileType type;
            makeType(type, "a/never");
            QVERIFY(type.Icon().isNull());
        }
        QVERIFY(registry().log.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileTypes)
#include "tst_filetypes.moc"
