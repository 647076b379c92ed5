#include "wrapper/veltoConnector.h"

#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_trace.h"
#include "wrapper/wfa_adapters.h"

namespace {

// A device name crosses into the service layer in a 32-byte field; a longer text is no device name
// and would be cut into another one.
bool nameFits(const std::string &name)
{
    return name.size() <= WFA_NAME_FIELD;
}

std::string decimal(unsigned long value)
{
    return std::to_string(value);
}

} // namespace

veltoConnector::veltoConnector(IVeltoCallback *callback, requestFunction request)
    : m_callback(callback), m_browsing(0), m_ready(0), m_request(request ? request : requestFunction(wfa_request))
{
}

veltoConnector::~veltoConnector()
{
}

bool veltoConnector::init()
{
    m_ready = 0;
    if (!m_callback)
        return false;
    uint16_t id = 0;
    return wfa_start(&veltoConnector::dispatch, this, &id) == ERR_NOERR;
}

bool veltoConnector::isReady()
{
    return m_ready != 0;
}

bool veltoConnector::stop()
{
    wfa_stop_for(this);
    return true;
}

int veltoConnector::isBrowsing()
{
    return m_browsing.load();
}

std::vector<uint8_t> veltoConnector::nameBlock(const std::string &device, size_t size)
{
    std::vector<uint8_t> block(size, 0);
    wfa_put_text(block.data(), block.size(), 0, WFA_NAME_FIELD, device);
    return block;
}

bool veltoConnector::send(uint32_t command, const std::vector<uint8_t> &arguments)
{
    uint16_t request_id = 0;
    uint16_t status = m_request(command, arguments.empty() ? nullptr : arguments.data(), &request_id);
    return wfa_status_ok(status);
}

bool veltoConnector::startBrowse()
{
    wfa_trace("Start Browse!!\n");
    std::vector<uint8_t> block(2, 0);
    wfa_put_u16(block.data(), block.size(), 0, static_cast<uint16_t>(int16_t(-1)));
    std::lock_guard<std::mutex> lock(m_browseLock);
    if (!send(1, block))
        return false;
    ++m_startsQueued;
    m_browsing = 1;
    return true;
}

bool veltoConnector::stopBrowse()
{
    if (!m_browsing.load())
        return true;
    wfa_trace("Stop Browse!!\n");
    // Noted before it is queued: the worker may answer it before send returns.
    std::lock_guard<std::mutex> lock(m_browseLock);
    m_pendingStops.push_back(m_startsQueued);
    if (send(2, std::vector<uint8_t>()))
        return true;
    m_pendingStops.pop_back();
    return false;
}

void veltoConnector::onBrowseStop()
{
    {
        std::lock_guard<std::mutex> lock(m_browseLock);
        bool newerStart = false;
        if (!m_pendingStops.empty()) {
            newerStart = m_pendingStops.front() != m_startsQueued;
            m_pendingStops.pop_front();
        }
        if (!newerStart)
            m_browsing = 0;
    }
    m_callback->onBrowseStopped();
}

bool veltoConnector::requestBatchPatch(const std::string &device, int count)
{
    if (count < 1)
        return true;
    if (count > WFA_BATCH_ENTRIES || !nameFits(device))
        return false;
    std::vector<uint8_t> block = nameBlock(device, WFA_BATCH_SIZE);
    wfa_put_u16(block.data(), block.size(), 32, static_cast<uint16_t>(count));
    return send(32, block);
}

bool veltoConnector::setPatch(const std::string &rxDevice, const unsigned short &rxChannel,
                              const wfa_patch_entry &tx)
{
    if (!nameFits(rxDevice) || !nameFits(tx.name))
        return false;
    std::vector<uint8_t> block = nameBlock(rxDevice, 68);
    wfa_put_u16(block.data(), block.size(), 32, rxChannel);
    wfa_put_text(block.data(), block.size(), 34, WFA_NAME_FIELD, tx.name);
    wfa_put_u16(block.data(), block.size(), 66, tx.value);
    return send(24, block);
}

bool veltoConnector::setBatchPatch(const std::string &device, const unsigned short &count,
                                   const std::list<wfa_patch_entry> &entries)
{
    if (count == 0)
        return true;
    if (count > WFA_BATCH_ENTRIES || !nameFits(device))
        return false;
    std::vector<uint8_t> block = nameBlock(device, WFA_BATCH_SIZE);
    wfa_put_u16(block.data(), block.size(), 32, count);
    size_t i = 0;
    for (const wfa_patch_entry &entry : entries) {
        if (i == count)
            break;
        if (!nameFits(entry.name))
            return false;
        const size_t at = 34 + i * WFA_BATCH_ENTRY_SIZE;
        wfa_put_text(block.data(), block.size(), at, WFA_NAME_FIELD, entry.name);
        wfa_put_u16(block.data(), block.size(), at + WFA_NAME_FIELD, entry.value);
        ++i;
    }
    return send(33, block);
}

bool veltoConnector::setPreferredMaster(const std::string &device, const bool &on)
{
    if (!nameFits(device))
        return false;
    std::vector<uint8_t> block = nameBlock(device, 33);
    block[32] = on ? 1 : 0;
    return send(18, block);
}

bool veltoConnector::setSampleRate(const std::string &device, const unsigned short &rate)
{
    if (!nameFits(device))
        return false;
    std::vector<uint8_t> block = nameBlock(device, 34);
    wfa_put_u16(block.data(), block.size(), 32, rate);
    return send(16, block);
}

bool veltoConnector::setLatency(const std::string &device, const unsigned short &latency)
{
    if (!nameFits(device))
        return false;
    std::vector<uint8_t> block = nameBlock(device, 34);
    wfa_put_u16(block.data(), block.size(), 32, latency);
    return send(40, block);
}

bool veltoConnector::requestIfList()
{
    wfa_trace("Get IF List!!\n");
    return send(11, std::vector<uint8_t>());
}

bool veltoConnector::setIf(const std::wstring &ifName, const std::string &)
{
    wfa_interface_record record{};
    wfa_utf16_from_wstring(ifName, record.name, WFA_IF_NAME_UNITS);
    std::vector<uint8_t> block(WFA_INTERFACE_RECORD_SIZE, 0);
    wfa_interface_record_write(record, block.data(), block.size(), 0);
    wfa_trace("Set IF!!\n");
    send(12, block);
    return true;
}

bool veltoConnector::requestIf()
{
    wfa_trace("Get IF!!\n");
    return send(13, std::vector<uint8_t>());
}

// ---- dispatch --------------------------------------------------------------------------------------

void veltoConnector::dispatch(void *context, uint16_t status, const uint8_t *frame, size_t size)
{
    if (!context)
        return;
    // An exception out of a receiver must not end the worker thread: the event is dropped.
    try {
        static_cast<veltoConnector *>(context)->onWfaEvent(status, frame, size);
    } catch (...) {
    }
}

void veltoConnector::onDevice(const uint8_t *p, size_t n)
{
    // A device is stored once with the identity it first arrives with, so a cut record is dropped.
    if (n < WFA_DEVICE_INFO_SIZE)
        return;
    const std::string name = wfa_get_text(p, n, WFA_DI_NAME, WFA_NAME_FIELD);
    wfa_version qnbFirm{}, qnbSoft{}, manfFirm{}, manfSoft{};
    wfa_get_version(p, n, WFA_DI_QNB_FIRM, &qnbFirm);
    wfa_get_version(p, n, WFA_DI_QNB_SOFT, &qnbSoft);
    wfa_get_version(p, n, WFA_DI_MANF_FIRM, &manfFirm);
    wfa_get_version(p, n, WFA_DI_MANF_SOFT, &manfSoft);

    propertyMap properties;
    properties["VeltoLabel"] = name;
    properties["ModelID"] = wfa_get_text(p, n, WFA_DI_MODEL_ID, 8);
    properties["ManfID"] = wfa_get_text(p, n, WFA_DI_MANF_ID, 8);
    properties["ModelName"] = wfa_get_text(p, n, WFA_DI_MODEL_NAME, WFA_NAME_FIELD);
    properties["QnbFirmVer"] = wfa_version_text(qnbFirm);
    properties["QnbSoftVer"] = wfa_version_text(qnbSoft);
    properties["manfFirmVer"] = wfa_version_text(manfFirm);
    properties["manfSoftVer"] = wfa_version_text(manfSoft);
    m_callback->onDeviceFound(properties);

    // Sample rate, preferred master, lock state, AES67 state, then routing.
    send(15, nameBlock(name, 32));
    send(17, nameBlock(name, 32));
    send(36, nameBlock(name, 33));
    send(37, nameBlock(name, 34));
    send(19, nameBlock(name, 32));
}

void veltoConnector::onIfList(const uint8_t *p, size_t n)
{
    wfa_interface_list list{0, nullptr};
    wfa_interface_list_read(p, n, &list);
    std::list<std::wstring> names;
    std::list<std::string> macs;
    for (unsigned i = 0; i < list.count; ++i) {
        names.push_back(wfa_wstring_from_utf16(list.records[i].name, WFA_IF_NAME_UNITS));
        macs.push_back(wfa_mac_text(list.records[i].mac));
    }
    const std::list<std::string> ips = wfa_adapter_ips(macs);
    const unsigned char count = static_cast<unsigned char>(names.size());
    m_callback->onIfList(count, names, macs, ips);
}

void veltoConnector::onBatchList(const uint8_t *p, size_t n)
{
    uint16_t count = 0;
    if (!wfa_get_u16(p, n, 32, &count))
        return;
    std::list<wfa_patch_entry> patches;
    for (size_t i = 0; i < count && i < WFA_BATCH_ENTRIES; ++i) {
        const size_t at = 34 + i * WFA_BATCH_ENTRY_SIZE;
        wfa_patch_entry entry;
        if (!wfa_get_u16(p, n, at + WFA_NAME_FIELD, &entry.value))
            break;
        entry.name = wfa_get_text(p, n, at, WFA_NAME_FIELD);
        patches.push_back(entry);
    }
    propertyMap properties;
    properties["VeltoLabel"] = wfa_get_text(p, n, 0, WFA_NAME_FIELD);
    properties["RxNum"] = decimal(patches.size());
    m_callback->onPatchList(properties, patches);
}

void veltoConnector::onWfaEvent(uint16_t status, const uint8_t *frame, size_t size)
{
    uint16_t code = 0;
    if (!m_callback || !wfa_get_u16(frame, size, 0, &code) || size < WFA_FRAME_HEADER ||
        code >= WFA_COMMAND_COUNT)
        return;
    const uint8_t *p = frame + WFA_FRAME_HEADER;
    const size_t n = size - WFA_FRAME_HEADER;

    switch (code) {
    case 0: case 2: case 3: case 4: case 6: case 7: case 11: case 12: case 13: case 15: case 16:
    case 18: case 24: case 31: case 32: case 33: case 34: case 36: case 37: case 38: case 39:
    case 40: case 41: {
        const std::string line = std::string("WFA_CBACK_INF_") + wfa_result_name(code) + "\n";
        wfa_trace(line.c_str());
        break;
    }
    default:
        return; // not handled here, not traced
    }

    const std::string name = wfa_get_text(p, n, 0, WFA_NAME_FIELD);
    propertyMap properties;
    properties["VeltoLabel"] = name;
    const unsigned short answer = status;

    switch (code) {
    case WFA_CBACK_INF_BROWSE_STOP:
        onBrowseStop();
        break;
    case WFA_CBACK_INF_DEVICE:
        onDevice(p, n);
        break;
    case WFA_CBACK_INF_LOST_DEVICE:
        m_callback->onDeviceLost(properties);
        break;
    case WFA_CBACK_INF_DEVICE_CONNECT:
    case WFA_CBACK_INF_DEVICE_DISCONNECT:
        properties["Connect"] = code == WFA_CBACK_INF_DEVICE_CONNECT ? "1" : "0";
        m_callback->onConnectChanged(properties);
        break;
    case WFA_CBACK_INF_IF_LIST:
        onIfList(p, n);
        break;
    case WFA_CBACK_INF_GET_IF: {
        // A failed read (the configuration service not ready yet) carries an empty record: it
        // says nothing about the interface in use and is not reported as if it did.
        wfa_interface_record record{};
        if (!wfa_status_ok(status) || !wfa_interface_record_read(p, n, 0, &record))
            break;
        const unsigned char flag = 1;
        m_callback->onIf(wfa_wstring_from_utf16(record.name, WFA_IF_NAME_UNITS), wfa_mac_text(record.mac),
                         flag);
        break;
    }
    case WFA_CBACK_INF_GET_FS: {
        uint32_t rate = 0;
        if (!wfa_get_u32(p, n, 32, &rate))
            break;
        properties["Fs"] = decimal(rate);
        m_callback->onSampleRateChanged(properties);
        break;
    }
    case WFA_CBACK_INF_SET_FS:
        m_callback->onSetSampleRateResult(name, answer);
        break;
    case WFA_CBACK_INF_SET_PMAS:
        m_callback->onSetPreferredMasterResult(name, answer);
        break;
    case WFA_CBACK_INF_SET_PACHE:
        m_callback->onSetPatchResult(name, answer);
        break;
    case WFA_CBACK_INF_CH_NUM: {
        uint16_t tx = 0, rx = 0;
        if (!wfa_get_u16(p, n, 32, &tx) || !wfa_get_u16(p, n, 34, &rx))
            break;
        properties["TxNum"] = decimal(tx);
        properties["RxNum"] = decimal(rx);
        m_callback->onChannelCountChanged(properties);
        break;
    }
    case WFA_CBACK_INF_GET_BATCH_LIST:
        onBatchList(p, n);
        break;
    case WFA_CBACK_INF_SET_BATCH_LIST:
        m_callback->onSetBatchPatchResult(name, answer);
        break;
    case WFA_CBACK_INF_RX_CH_PATCH_CHANGE: {
        std::vector<uint8_t> record(WFA_RX_CHANGE_SIZE, 0);
        for (size_t i = 0; i < n && i < record.size(); ++i)
            record[i] = p[i];
        send(35, record);
        break;
    }
    case WFA_CBACK_INF_DEVICE_LOCK: {
        uint8_t locked = 0;
        if (!wfa_get_u8(p, n, 32, &locked))
            break;
        properties["DeviceLock"] = decimal(locked);
        m_callback->onDeviceLockChanged(properties);
        break;
    }
    case WFA_CBACK_INF_AES67_STATUS: {
        uint8_t enabled = 0, reboot = 0;
        if (!wfa_get_u8(p, n, 32, &enabled) || !wfa_get_u8(p, n, 33, &reboot))
            break;
        properties["AES67Enabled"] = decimal(enabled);
        properties["AES67Reboot"] = decimal(reboot);
        m_callback->onAes67StateChanged(properties);
        break;
    }
    case WFA_CBACK_INF_PROPERTY_CHANGE:
        send(39, nameBlock(name, 34));
        break;
    case WFA_CBACK_INF_PROPERTY_REFRESH:
        if (status == ERR_NOERR)
            send(41, nameBlock(name, 34));
        else if (status == ERR_SETTING)
            send(39, nameBlock(name, 34));
        break;
    case WFA_CBACK_INF_SET_LATENCY:
        m_callback->onSetLatencyResult(name, answer);
        break;
    case WFA_CBACK_INF_GET_LATENCY: {
        uint16_t latency = 0;
        if (!wfa_get_u16(p, n, 32, &latency))
            break;
        properties["Latency"] = decimal(latency);
        m_callback->onLatencyChanged(properties);
        break;
    }
    default: // INIT and SET_IF are only traced
        break;
    }
}
