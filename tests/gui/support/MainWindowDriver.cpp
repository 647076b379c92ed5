#include "tests/gui/support/MainWindowDriver.h"

#include <QCoreApplication>
#include <QTextBrowser>

ProbeWindow &MainWindowDriver::create()
{
    return create(env.services());
}

ProbeWindow &MainWindowDriver::create(const AppServices &services)
{
    window = std::make_unique<ProbeWindow>(services);
    window->show();
    return *window;
}

void MainWindowDriver::deliver()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void MainWindowDriver::report(const std::function<void(IVeltoNotify &)> &report)
{
    env.wrapper->reportFromWorker(report);
    deliver();
}

void MainWindowDriver::reportInterfaces(const std::vector<NicEntry> &nics)
{
    std::list<std::wstring> names;
    std::list<std::string> macs, ips;
    for (const NicEntry &nic : nics) {
        names.push_back(nic.name.toStdWString());
        macs.push_back(nic.mac.toStdString());
        ips.push_back(nic.ip.toStdString());
    }
    const unsigned char count = static_cast<unsigned char>(nics.size());
    report([&](IVeltoNotify &notify) { notify.notifyIfList(count, names, macs, ips); });
}

void MainWindowDriver::reportInterfaceInUse(const NicEntry &nic)
{
    const std::wstring name = nic.name.toStdWString();
    const std::string mac = nic.mac.toStdString();
    report([&](IVeltoNotify &notify) { notify.notifyCurrentIf(name, mac); });
}

void MainWindowDriver::addDevice(const std::string &name, const std::string &model)
{
    report([&](IVeltoNotify &notify) {
        notify.notifyDeviceAdded(name, "0x0001", "0x0002", model, "4.1.0", "4.1.0", "1.0.0", "1.0.0");
    });
}

void MainWindowDriver::setConnected(const std::string &name, bool connected)
{
    report([&](IVeltoNotify &notify) { notify.notifyConnectState(name, connected ? "1" : "0"); });
}

void MainWindowDriver::answerPreferredMaster(const std::string &device, unsigned short status)
{
    report([&](IVeltoNotify &notify) { notify.notifyPreferredMasterResult(device, status); });
}

void MainWindowDriver::answerBatch(const std::string &device, unsigned short status)
{
    report([&](IVeltoNotify &notify) { notify.notifyBatchPatchResult(device, status); });
}

void MainWindowDriver::startUp(const std::vector<NicEntry> &nics, const NicEntry &inUse)
{
    env.scheduler.runDue();   // start-up
    env.scheduler.advance(12000); // the interface list is asked for
    reportInterfaces(nics);
    env.scheduler.advance(2000); // the interface in use is asked for
    reportInterfaceInUse(inUse);
    env.scheduler.runDue();
    env.scheduler.advance(3000); // browsing
    env.scheduler.advance(2000); // Confirm enabled
}

QString MainWindowDriver::logText() const
{
    return window->findChild<QTextBrowser *>(QStringLiteral("outputTextBrowser"))->toPlainText();
}

QString MainWindowDriver::entries(const QStringList &appended)
{
    return appended.join(QLatin1Char('\n'));
}

std::string MainWindowDriver::ktvName(int unit)
{
    return QString::asprintf("T%03X-QZ-KTV4-S-%02d", unit, unit).toStdString();
}

std::string MainWindowDriver::rqaName(int unit)
{
    return QString::asprintf("T%03X-QZ-RQA-310-%02d", unit, unit).toStdString();
}
