// The program's link to veltoWrapper. It obtains the wrapper, turns the main window's named commands
// into IVeltoWrapper calls, keeps the device table and the interface list that the wrapper's reports
// fill, and turns each report the main window acts on into signalCallback.
//
// Reports arrive on veltoWrapper's worker thread while commands and getResult run on the GUI thread:
// every access to the three tables holds `tableLock`, and each signal is emitted after its table
// has been updated and the lock released. The object lives on the GUI thread, so an automatic
// connection delivers signalCallback there, queued.
#pragma once

#include "gui/AppServices.h"
#include "gui/baseRouter.h"
#include "wrapper/veltoWrapper.h"

#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <mutex>

class veltoManager : public QObject, public IVeltoNotify, public baseRouter {
    Q_OBJECT
public:
    // `factory` stands for veltoWrapper's `instance`.
    explicit veltoManager(VeltoFactoryFunction factory);
    ~veltoManager() override;

    virtual bool initApi();
    virtual bool terminateApi();
    virtual bool reinitApi();
    // "veltoDevices" (list), "veltoIfListResult" (list) and "veltoIfResult" (map).
    virtual bool getResult(const QString &name, QVariantMap &map, QVariantList &list);

    bool routeGet(const QString &cmd, const QVariantMap &args) override;
    bool routeSet(const QString &cmd, const QVariantMap &args) override;
    bool routeUp(QVariant &a, QVariant &b, baseRouter *sender) override;

    // The unit id that a device name carries ("T00A-..." gives "00A"), or an empty text.
    virtual QString unitIdFromName(const QString &name);
    // The rule behind it, shared with the main window: the text before the first '-' (the whole
    // name without one) is exactly 'T' or 't' and three hexadecimal digits; the digits as they
    // stand, else an empty text.
    static QString unitIdOf(const QString &name);

    // IVeltoNotify, called on veltoWrapper's worker thread.
    void notifyInitDone() override;
    void notifyDeviceAdded(const std::string &device, const std::string &modelId, const std::string &manfId,
                           const std::string &modelName, const std::string &qnbFirmVer,
                           const std::string &qnbSoftVer, const std::string &manfFirmVer,
                           const std::string &manfSoftVer) override;
    void notifyDeviceRemoved(const std::string &device) override;
    void notifyChannelCount(const std::string &device, const std::string &txNum, const std::string &rxNum) override;
    void notifyConnectState(const std::string &device, const std::string &connect) override;
    void notifySampleRate(const std::string &device, const std::string &fs) override;
    void notifyLatency(const std::string &device, const std::string &latency) override;
    void notifyLockState(const std::string &device, const std::string &lock) override;
    void notifyAes67State(const std::string &device, const std::string &enabled, const std::string &reboot) override;
    void notifyPatchList(const std::string &device, const std::string &rxNum,
                         const std::list<wfa_patch_entry> &patches) override;
    void notifyIfList(const unsigned char &count, const std::list<std::wstring> &names,
                      const std::list<std::string> &macs, const std::list<std::string> &ips) override;
    void notifyCurrentIf(const std::wstring &ifName, const std::string &macAddress) override;
    void notifyReserved() override;
    void notifyPatchResult(const std::string &device, const unsigned short &status) override;
    void notifyBatchPatchResult(const std::string &device, const unsigned short &status) override;
    void notifyPreferredMasterResult(const std::string &device, const unsigned short &status) override;
    void notifyLatencyResult(const std::string &device, const unsigned short &status) override;
    void notifySampleRateResult(const std::string &device, const unsigned short &status) override;

    // Conversions between the wrapper's wide strings and QString.
    static QString fromWide(const std::wstring &text);
    static std::wstring toWide(const QString &text);

signals:
    void signalModified(const QString &cmnd, const QVariantMap &info);
    void signalCallback(const QString &cmnd, const QVariantMap &info);

protected:
    virtual bool createApi();
    virtual bool connectDevices(const QString &cmd, const QVariantMap &args);
    virtual bool listDevices(const QString &cmd, QVariantList &out);
    virtual bool setPatch(const QString &cmd, const QVariantMap &args);
    virtual bool clearPatch(const QString &cmd, const QVariantMap &args);
    virtual bool setPreferredMaster(const QString &cmd, const QVariantMap &args);
    virtual bool requestPatches(const QString &cmd, const QVariantMap &args);
    virtual QVariantMap emptyResult(const QString &cmd, const QVariantMap &args);
    virtual bool requestIfList(const QString &cmd, const QVariantMap &args);
    virtual bool ifListResult(const QString &cmd, QVariantList &out);
    virtual bool setIf(const QString &cmd, const QVariantMap &args);
    virtual bool requestCurrentIf(const QString &cmd, const QVariantMap &args);
    virtual bool currentIfResult(const QString &cmd, QVariantMap &out);
    // Looks a device up by unit id and model; name and rxChNum keep their values when none matches.
    virtual bool findDevice(const int &unitId, const QString &model, QString &name, int &rxChNum);

private:
    // Finds the receiving device of a patch command; false when it is unknown or its receive
    // count cannot be carried by one batch.
    bool findReceiver(const QVariantMap &args, QString &name, int &rxChNum);

    VeltoFactoryFunction factory;
    IVeltoWrapper *wrapper = nullptr;

    // A standard mutex rather than QMutex: the same lock, but one that ThreadSanitizer sees (the Qt
    // library it comes with is not instrumented).
    mutable std::mutex tableLock;
    QVariantMap deviceTable;
    QVariantList nicList;
    QVariantMap currentNic;
};
