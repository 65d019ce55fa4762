#pragma once

#include "scanning/twainnames.h"

#include <twain.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

// The agent's only door to scanners: loads the data source manager, makes every DSM call
// through one guarded wrapper (CallDSM) that keeps its own record of the TWAIN state (1 to 7),
// refuses calls in the wrong state or made re-entrantly, fetches the condition code after every
// failure, queues data-source signals for the owner and transfers one image at a time by the
// mechanism the source reports. What happens to an image, an error or the end of a batch is up
// to the owner, through the virtual operations.
//
// All DSM calls run on the owner's (GUI) thread. Only QueueDataSourceSignal may come from
// elsewhere: on Linux the data source's events arrive through the TWAIN 2 callback, which real
// drivers call from their own threads (and some synchronously from inside MSG_ENABLEDS).
class CTWAINSession {
public:
    CTWAINSession();
    CTWAINSession(const CTWAINSession&) = delete;
    CTWAINSession& operator=(const CTWAINSession&) = delete;

    // --- the owner's hooks, in this order (slot 0 … 10) ---

    // After QueueDataSourceSignal queued a message. May run on the data source's thread:
    // an override must be thread-safe and must not process the queue from here (emit a queued
    // signal and handle the queue from the event loop).
    virtual void OnSignalQueued() {}
    // A native transfer returned neither TWRC_XFERDONE nor TWRC_SUCCESS.
    virtual void OnError(const TW_STATUS& status) = 0;
    // DAT_IMAGEINFO succeeded, before the transfer.
    virtual void OnImageInfo(const TW_IMAGEINFO& info, TW_UINT16 xferMech) { (void)info, (void)xferMech; }
    // After a transfer, in state 7.
    virtual void OnImageDone(const TW_IMAGEINFO& info, TW_UINT16 xferMech) { (void)info, (void)xferMech; }
    // After a successful EndXfer.
    virtual void OnEndXfer(const TW_PENDINGXFERS& pending) { (void)pending; }
    // The native image arrived. The session frees *dib afterwards while *freeImage is still true;
    // clear it to keep the handle (and free it with FreeContainer).
    virtual void OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage) = 0;
    // One memory block arrived; changing *result ends (anything but TWRC_SUCCESS/TWRC_XFERDONE)
    // or continues the transfer.
    virtual void OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result) = 0;
    // The source wrote the image to the file named in `setup`.
    virtual void OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup) = 0;
    // One block of a memory-file transfer arrived; *result as for OnMemoryTransfer.
    virtual void OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result) = 0;
    // Around every CallDSM.
    virtual void Lock() {}
    virtual void Unlock() {}

    // Releases the queue only: closing the source and the DSM is the owner's job.
    virtual ~CTWAINSession();

    // --- library ---
    TW_UINT16 LoadDSM();     // 0, or 1 when the library cannot be loaded
    TW_UINT16 UnloadDSM();

    // --- session operations; each returns a TWRC code ---
    TW_UINT16 OpenDSM(TW_HANDLE window);
    TW_UINT16 CloseDSM();
    TW_UINT16 OpenDS(const TW_IDENTITY* identity);
    TW_UINT16 CloseDS();
    TW_UINT16 EnableDS(TW_HANDLE window, bool showUI);
    TW_UINT16 DisableDS();
    TW_UINT16 StopFeeder();
    // MSG_STOPFEEDER in state 6: no further sheet is fed, the images of the sheets already fed
    // are still to be transferred (`pending` their number; the state stays 6). StopFeeder drops
    // them (MSG_RESET).
    TW_UINT16 StopFeeding(TW_UINT16& pending);
    TW_UINT16 EndXfer();
    TW_UINT16 TransferImage();
    TW_UINT16 ProcessEvent(const TW_EVENT& event);

    // --- data-source signals (thread-safe) ---
    void QueueDataSourceSignal(TW_UINT16 message);
    TW_UINT16 PeekDataSourceSignal();   // 0 when the queue is empty
    void PopDataSourceSignal();

    // File transfers write into this folder (ending with a separator) under a name of ours,
    // kTransferFileStem and the format's extension; empty: wherever the source likes.
    static constexpr const char* kTransferFileStem = "vellox-transfer";
    void SetFileTransferFolder(const std::string& folder) { fileTransferFolder = folder; }
    // The file the last file transfer was told to write; empty when the source kept its own.
    const std::string& fileTransferPath() const { return ownTransferFile; }

    TW_UINT16 GetState() const { return state.load(); }
    const TW_STATUS& GetStatus() const { return status; }
    const TW_IDENTITY& GetSourceIdentity() const { return sourceIdentity; }
    const TW_IDENTITY& GetAppIdentity() const { return appIdentity; }

    TW_UINT16 CallDSM(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, pTW_IDENTITY destination);

    // --- capabilities ---
    // MSG_GET of all values: on TWRC_SUCCESS `capability` holds the container; free it with
    // FreeContainer.
    TW_UINT16 GetCapability(TW_UINT16 capabilityId, TW_CAPABILITY& capability);
    // One value by MSG_GETCURRENT, MSG_GETDEFAULT or MSG_RESET into `output` (as many bytes as
    // the item type takes; give outputSize to have a too small output refused). 0 when a value
    // was extracted, 1 otherwise.
    int GetCapabilityValue(TW_UINT16 capabilityId, void* output, TW_UINT16 msg = MSG_GETCURRENT,
                           std::size_t outputSize = SIZE_MAX);
    // A new container of the given shape; hContainer is null when no memory could be had.
    TW_CAPABILITY CreateContainer(TW_UINT16 capabilityId, TW_UINT16 conType, TW_UINT16 itemType,
                                  TW_UINT32 count);
    // Puts `value` into the one-value container, sends MSG_SET and frees the container.
    TW_UINT16 SetCapability(TW_CAPABILITY& capability, const void* value);
    TW_UINT16 SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_INT16 value);
    TW_UINT16 SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_UINT16 value);
    TW_UINT16 SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_FIX32 value);
    TW_UINT16 SetCapabilityAnyOneValue(TW_UINT16 capabilityId, bool value);

    // Containers and native images live in the platform's memory (see twaindsm_library.h).
    static void* LockContainer(TW_HANDLE container);
    static void UnlockContainer(TW_HANDLE container);
    static void FreeContainer(TW_HANDLE container);
    // Bytes of one item of the type, 0 for an unknown type.
    static std::size_t ItemSize(TW_UINT16 itemType);
    // Bytes of a container of that shape, 0 for an unknown container type.
    static std::size_t ContainerSize(TW_UINT16 conType, TW_UINT16 itemType, TW_UINT32 count);

protected:
    TW_IDENTITY appIdentity{};
    TW_IDENTITY sourceIdentity{};
    TW_HANDLE parentWindow = nullptr;
    TW_STATUS status{};
    // Written on the owner's thread and, for MSG_XFERREADY, on the data source's; changed under
    // `guard` so that MSG_ENABLEDS and a synchronous MSG_XFERREADY never lose each other's step.
    std::atomic<TW_UINT16> state{ 1 };
    std::mutex guard;
    std::deque<TW_UINT16> signalQueue;
    TW_PENDINGXFERS pendingXfers{};
    bool queryXferSettings = true;
    bool undefinedImageSize = false;
    TW_UINT16 xferMech = TWSX_NATIVE;
    bool inCall = false;
    std::string fileTransferFolder;
    std::string ownTransferFile;

private:
    TW_UINT16 refuse(const char* failureLine, TW_UINT16 conditionCode);
    // A move into state 6 starts a transfer cycle, the first transfer of it ends the start
    // (called under guard).
    void noteTransferCycle(TW_UINT16 oldState, TW_UINT16 newState);
    void registerEventCallback();
    TW_UINT16 transferNative();
    TW_UINT16 transferFile();
    TW_UINT16 transferMemory(const TW_IMAGEINFO& info);
};
