// How this computer describes itself to the phone, from the system's files, and the identifier it
// keeps across launches.

#include "app/services/receive/LocalDevice.h"

#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

using namespace app;

namespace {

TEST(LocalDeviceTest, TheComputerDescribesItselfFromTheSystemFiles)
{
    struct Case {
        const char* name;
        QByteArray machineInfo;
        QByteArray productName;
        QByteArray deviceTreeModel;
        QString hostName;
        std::string expectedName;
        std::optional<std::string> expectedModel;
    };
    const Case cases[] = {
        {"quoted pretty name", "ICON_NAME=computer\nPRETTY_HOSTNAME=\"Lena's \\\"Desk\\\"\"\n", "OptiPlex 7090\n",
            "", "box", "Lena's \"Desk\"", "OptiPlex 7090"},
        {"single quotes", "PRETTY_HOSTNAME='书房 电脑'", "", "Raspberry Pi 4 Model B Rev 1.4\0\0", "pi", "书房 电脑",
            "Raspberry Pi 4 Model B Rev 1.4"},
        {"bare value", "PRETTY_HOSTNAME=Studio", "  \n", "", "box", "Studio", std::nullopt},
        {"empty pretty name falls back to the host", "PRETTY_HOSTNAME=\"\"", "", "", "box", "box", std::nullopt},
        {"nothing at all", "", "", "", "", "Linux", std::nullopt},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto write = [&](const QString& name, const QByteArray& bytes) {
            QFile file(dir.filePath(name));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bytes);
            return file.fileName();
        };
        QSettings settings(dir.filePath("settings.ini"), QSettings::IniFormat);
        LocalDeviceSources sources;
        sources.machineInfoFile = write("machine-info", c.machineInfo);
        sources.productNameFile = write("product_name", c.productName);
        sources.deviceTreeModelFile = write("model", c.deviceTreeModel);
        sources.hostName = [&] { return c.hostName; };
        sources.settings = &settings;
        const p2p::DeviceInfo device = localDeviceInfo(sources);
        EXPECT_EQ(device.name, c.expectedName);
        EXPECT_EQ(device.model, c.expectedModel);
        EXPECT_TRUE(device.systemVersion && !device.systemVersion->empty());
    }
}

TEST(LocalDeviceTest, TheIdentifierIsMadeOnceAndKept)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("settings.ini");
    QString first;
    {
        QSettings settings(file, QSettings::IniFormat);
        settings.setValue("peerDeviceIdentifier", ""); // an empty value counts as none
        first = stableIdentifier(settings);
    }
    EXPECT_EQ(first.size(), 36);
    EXPECT_EQ(first, first.toUpper());
    QSettings later(file, QSettings::IniFormat); // a later launch
    EXPECT_EQ(stableIdentifier(later), first);
    later.setValue("peerDeviceIdentifier", "someone-elses");
    EXPECT_EQ(stableIdentifier(later), "someone-elses");
}

} // namespace
