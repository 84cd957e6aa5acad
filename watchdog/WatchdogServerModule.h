#pragma once

#include "ServerStatus.h"
#include "StatusReport.h"
#include "WatchProcess.h"
#include "WatchdogMsg.h"
#include "WatchdogPlatform.h"

#include <Poco/Clock.h>
#include <Poco/Mutex.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The watchdog's server: owns the listening socket, the worker thread, the
// client connections, the registry of watched processes and the table of
// dependent services. One per process, reached through getInstance; stopped
// only by its destructor at process exit.
//
// Once init has started the worker, only the worker thread touches the
// sockets, the registry and the service table. Besides m_bStop, which stops
// it, other threads only read atomic counters of its progress (the systemd
// notifier, the stall guard) and whether it still runs.
class WatchdogServerModule : public Poco::Runnable
{
public:
    // The process-wide module on the real platform, listening on
    // 0.0.0.0:30024. Created on the first call (thread-safe), destroyed at
    // process exit.
    static WatchdogServerModule& getInstance();

    // A module on `platform` that will listen on host:port. getInstance uses
    // the fixed production address; tests pass 127.0.0.1 and port 0.
    WatchdogServerModule(const WatchdogPlatform& platform, const std::string& listenHost,
                         Poco::UInt16 listenPort);
    ~WatchdogServerModule() override;

    WatchdogServerModule(const WatchdogServerModule&) = delete;
    WatchdogServerModule& operator=(const WatchdogServerModule&) = delete;

    // Integrity check, bind and listen, dependent services, worker start.
    // Returns 0 when serving, else the failed integrity check's verdict.
    // Socket and service-manager failures propagate as Poco::Exception.
    int init();

    // The worker's loop; entered only through m_thread.
    void run() override;

    // --- connection loop -------------------------------------------------
    // Receives exactly `length` bytes: 0, or -4009 (peer closed), -4010
    // (socket error), -4011 (the message under way, header and body
    // together, did not come within RECV_WAIT_BOUND_MS of its first byte;
    // see beginMessage).
    int recvData(Poco::Net::StreamSocket& socket, void* buffer, int length);
    // Logs the type and hands the body to its handler. Always 0.
    int processRecvData1(const WatchdogMsgHeader* header, const WatchdogMsg* msg);

    // --- registry --------------------------------------------------------
    int registerWatchdog(const WatchdogMsg* msg);
    int cancelWatchdog(const WatchdogMsg* msg);
    int feedWatchdog(const WatchdogMsg* msg);
    int removeSameServiceProcess(const std::string& serviceName, const std::string& processName);

    // --- supervision -----------------------------------------------------
    int handleClientProcess();
    int killProcess(const WatchProcess& process);
    int launchProcess(const WatchProcess& process);
    int getServerStatus(const std::string& serviceName);
    int checkAndStartServer();

    // --- saved registry (RegistryPersistence.cpp) --------------------------
    // At start-up (init calls it before the dependent services are checked):
    // the records the store holds, each with its last feed set to now. No
    // store: nothing. A saved registry that cannot be used is set aside and
    // the registry stays empty. Records on the diagnostics logger.
    void restoreRegistry();
    // After every pass: writes the registry when anything but a feed changed
    // it since the last save, so at most once per pass. Never throws; a
    // failed save is recorded once and tried again after the next pass.
    void saveRegistryIfChanged() noexcept;

    // --- observation (tests, benchmarks) -----------------------------------
    const std::map<std::string, WatchProcess>& watchProcesses() const { return m_mapWatchProcess; }
    const std::map<std::string, int32_t>& serverStatuses() const { return m_mapServerStatus; }
    std::size_t clientCount() const { return m_vecClientSocket.size(); }
    // Loop passes completed so far; readable from any thread.
    uint64_t passCount() const { return m_nPassCount.load(); }
    // Steps of passes completed so far (the accept poll, each client's poll
    // and message, the cycle, the save): it stands still only while the
    // worker is stuck in one step or has ended. Readable from any thread.
    uint64_t progressCount() const { return m_nProgressCount.load(std::memory_order_relaxed); }
    // Whether the worker thread is running; readable from any thread.
    bool isServing() const { return m_bWorkerRunning.load(); }
    // What the status snapshot is built from beyond the records.
    const StatusReport& statusReport() const { return m_statusReport; }
    // The address the listening socket is bound to (after init).
    Poco::Net::SocketAddress listenAddress() const { return m_serverSocket.address(); }

    // How long the loop waits for the rest of a message (header and body
    // together) once its first byte is there; a slower client is dropped.
    static constexpr int RECV_WAIT_BOUND_MS = 250;

private:
    uint32_t nowMs();
    void madeProgress() { m_nProgressCount.fetch_add(1, std::memory_order_relaxed); }
    // A client's message starts: its first byte is there. The receive bound
    // of recvData counts from now, over the header and the body.
    void beginMessage();

    Poco::FastMutex m_mutex;
    Poco::Thread m_thread;
    std::atomic<bool> m_bStop;
    Poco::Net::ServerSocket m_serverSocket;
    std::vector<Poco::Net::StreamSocket> m_vecClientSocket;
    std::map<std::string, WatchProcess> m_mapWatchProcess;
    std::map<std::string, int32_t> m_mapServerStatus;

    WatchdogPlatform m_platform;
    std::string m_strListenHost;
    Poco::UInt16 m_nListenPort;
    std::atomic<uint64_t> m_nPassCount;
    StatusReport m_statusReport;
    std::atomic<uint64_t> m_nProgressCount{0};
    std::atomic<bool> m_bWorkerRunning{false};
    bool m_bRegistryChanged = false; // a change the store has not seen yet
    bool m_bSaveFailing = false;     // the last save failed (recorded once)
    Poco::Clock m_clkMessageStart;   // when the message under way began
    int m_iMessageBytes = 0;         // how much of it has come
};
