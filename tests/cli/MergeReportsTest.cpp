// updater-cli --merge-reports: the reports of many sites in one.

#include "MergeReports.h"
#include "CliTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace clitest;
using namespace updater::cli;

namespace {

// A report of one site holding devices "name:outcome".
QByteArray report(const QStringList &devices)
{
    QJsonArray list;
    for (const QString &d : devices) {
        const QStringList f = d.split(QLatin1Char(':'));
        list.append(
            QJsonObject{{"name", f[0]},
                        {"outcome", f[1]},
                        {"firmware", f[1] == "time-out" ? QJsonValue("dsp") : QJsonValue()},
                        {"failedStep", f[1] == "time-out" ? QJsonValue("erase") : QJsonValue()},
                        {"deviceHolds", f[1] == "time-out" ? "DSP firmware not started" : ""}});
    }
    return QJsonDocument(QJsonObject{{"exitStatus", 0}, {"devices", list}}).toJson();
}

struct Site
{
    QString folder;
    QByteArray text; // written to folder/report.json; empty: no such file
};

// The reports written under dir, their paths in the order given.
std::vector<std::string> writeSites(const QString &dir, const std::vector<Site> &sites)
{
    std::vector<std::string> paths;
    for (const Site &s : sites) {
        const QString path = dir + "/" + s.folder + "/report.json";
        QDir().mkpath(dir + "/" + s.folder);
        if (!s.text.isEmpty()) {
            QFile f(path);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(s.text) == s.text.size());
        }
        paths.push_back(path.toStdString());
    }
    return paths;
}

TEST(MergeReports, SitesAreCountedByTheirFolderAndAllWrittenOnlyWhenNoDeviceFailedOrWasLeft)
{
    struct Case
    {
        std::vector<Site> sites;
        QString total; // succeeded, already written, failed, not reached
        bool allWritten;
        QStringList lines; // of the summary
    } cases[] = {
        {{{"plant-a", report({"inv-1:success", "inv-2:already written"})},
          {"plant-b", report({"inv-1:success"})}},
         "2 1 0 0",
         true,
         {"plant-a: 2 devices: 1 succeeded, 1 already written, 0 failed, 0 not reached",
          "plant-b: 1 device: 1 succeeded, 0 already written, 0 failed, 0 not reached",
          "all sites: 3 devices: 2 succeeded, 1 already written, 0 failed, 0 not reached"}},
        {{{"plant-a", report({"inv-1:success", "inv-2:time-out"})},
          {"plant-b", report({"inv-1:not started", "inv-3:in progress"})}},
         "1 0 2 1",
         false,
         {"plant-a: 2 devices: 1 succeeded, 0 already written, 1 failed, 0 not reached",
          "plant-b: 2 devices: 0 succeeded, 0 already written, 1 failed, 1 not reached",
          "all sites: 4 devices: 1 succeeded, 0 already written, 2 failed, 1 not reached",
          "plant-a inv-2: time-out at dsp erase; DSP firmware not started",
          "plant-b inv-3: in progress"}},
        {{{"plant-a", report({"inv-1:not started"})}},
         "0 0 0 1",
         false,
         {"plant-a: 1 device: 0 succeeded, 0 already written, 0 failed, 1 not reached",
          "all sites: 1 device: 0 succeeded, 0 already written, 0 failed, 1 not reached"}},
    };
    for (const Case &c : cases) {
        QTemporaryDir dir;
        const MergedReports m = mergeReports(writeSites(dir.path(), c.sites), {});
        ASSERT_EQ(m.fault, "");
        EXPECT_EQ(m.allWritten, c.allWritten);
        EXPECT_EQ(QString::fromStdString(m.summary).split('\n', Qt::SkipEmptyParts), c.lines);
        const QJsonObject all = QJsonDocument::fromJson(QByteArray::fromStdString(m.json)).object();
        const QJsonObject t = all["total"].toObject();
        EXPECT_EQ(QStringList({QString::number(t["succeeded"].toInt()),
                               QString::number(t["alreadyWritten"].toInt()),
                               QString::number(t["failed"].toInt()),
                               QString::number(t["notReached"].toInt())})
                      .join(' '),
                  c.total);
        EXPECT_EQ(all["exitStatus"].toInt(), c.allWritten ? 0 : 1);
        // Every device of every site, in order, with its site and its own fields.
        QStringList got, wanted;
        for (const QJsonValue &d : all["devices"].toArray())
            got << d["site"].toString() + "/" + d["name"].toString() + ":" +
                       d["outcome"].toString();
        for (const Site &s : c.sites)
            for (const QJsonValue &d : QJsonDocument::fromJson(s.text)["devices"].toArray())
                wanted << s.folder + "/" + d["name"].toString() + ":" + d["outcome"].toString();
        EXPECT_EQ(got, wanted);
        EXPECT_EQ(all["sites"].toArray().size(), static_cast<qsizetype>(c.sites.size()));
    }
}

TEST(MergeReports, AReportThatCannotBeTakenIsRefusedNamingItsFile)
{
    const std::vector<std::pair<std::vector<Site>, std::string>> cases = {
        {{{"a", report({"inv-1:success"})}, {"b", {}}}, "b/report.json: cannot read the report"},
        {{{"a", "{\"devices\": [ {\"name\": \"x"}},
         "a/report.json: not a report of updater-cli "
         "--report: unterminated string at byte 26"},
        {{{"a", "[1, 2]"}}, "a/report.json: not a report of updater-cli --report: no device list"},
        {{{"a", "{\"devices\": {}}"}},
         "a/report.json: not a report of updater-cli --report: no "
         "device list"},
        {{{"a", "{\"devices\": [{\"outcome\": \"success\"}]}"}},
         "a/report.json: device 1 has no "
         "name"},
        {{{"a", "{\"devices\": [{\"name\": \"inv-1\", \"outcome\": 3}]}"}},
         "a/report.json: device \"inv-1\" has no outcome"},
    };
    for (const auto &[sites, fault] : cases) {
        QTemporaryDir dir;
        const MergedReports m = mergeReports(writeSites(dir.path(), sites), {});
        EXPECT_NE(m.fault.find(fault), std::string::npos) << m.fault << "\nwanted: " << fault;
        EXPECT_EQ(m.json, "");
    }
    QTemporaryDir one, two;
    const auto a = writeSites(one.path(), {{"plant-a", report({"inv-1:success"})}});
    const auto b = writeSites(two.path(), {{"plant-a", report({"inv-1:success"})}});
    EXPECT_EQ(mergeReports({a[0], b[0]}, {}).fault,
              b[0] + ": site \"plant-a\" (the report's folder) is " + a[0] + " already");
}

TEST(MergeReports, TheCommandWritesTheMergedReportAndItsExitStatusSaysWhetherAllIsWritten)
{
    QTemporaryDir dir;
    const auto good = writeSites(dir.path(), {{"plant-a", report({"inv-1:success"})}});
    const auto bad = writeSites(dir.path(), {{"plant-b", report({"inv-1:link lost"})}});
    const QString out = dir.path() + "/all-sites.json";
    struct Case
    {
        QStringList args;
        int status;
        QString said; // on standard error, or the last line of standard output
    } cases[] = {
        {{"--merge-reports", QString::fromStdString(good[0]), "--report", out},
         0,
         "all sites: 1 device: 1 succeeded, 0 already written, 0 failed, 0 not reached"},
        {{"--merge-reports", QString::fromStdString(good[0]), QString::fromStdString(bad[0]),
          "--report", out},
         1,
         "plant-b inv-1: link lost"},
        {{"--merge-reports", "--report", out}, 2, "--merge-reports needs the report files"},
        {{"--merge-reports", QString::fromStdString(good[0])}, 2, "needs --report FILE"},
        {{"--merge-reports", QString::fromStdString(good[0]), "--report", out, "--jobs", "2"},
         2,
         "takes only the reports and --report FILE"},
        {{"--merge-reports", QString::fromStdString(good[0]), "--report",
          QString::fromStdString(good[0])},
         2,
         "give the merged report another name"},
    };
    for (const Case &c : cases) {
        QFile::remove(out);
        const Finished f = runCli(c.args);
        EXPECT_EQ(f.status, c.status) << f.err.toStdString();
        EXPECT_TRUE(
            (c.status == 2 ? f.err : f.outLines().value(f.outLines().size() - 1)).contains(c.said))
            << f.out.toStdString() << f.err.toStdString();
        EXPECT_EQ(QFile::exists(out), c.status != 2);
    }
    EXPECT_EQ(
        QJsonDocument::fromJson(readFile(QString::fromStdString(good[0])))["devices"][0]["outcome"]
            .toString(),
        "success"); // the input is left as it was
}

} // namespace
