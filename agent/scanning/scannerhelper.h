#pragma once

#include <twain.h>

#include <QMutex>
#include <QObject>
#include <QString>

class CTWAINSession;

// What the agent knows about the scanner models schools use: which settings each model needs
// before an answer-sheet batch comes out right, written through the TWAIN session's capability
// operations, and a text dump of every capability an open source supports.
//
// Capability writes run on the GUI thread (they are DSM calls); scannerName() is also read by
// the upload tasks, hence its lock.
class KELScannerHelper : public QObject {
    Q_OBJECT
public:
    // Model classes, decided from the data source's product name.
    enum ScannerClass : int {
        CanonClass = 0,
        KodakClass = 1,
        HuagoClass = 2,
        PantumClass = 3,
        EStudioClass = 4,
        ColorNetworkScanGearClass = 5,
        EpsonEmC8100Class = 8,
        UnknownClass = 255,
    };

    static KELScannerHelper* instance();
    KELScannerHelper();

    // While no session is set every capability write is skipped.
    void setSession(CTWAINSession* twainSession) { session = twainSession; }
    void setScannerName(const QString& name);
    QString scannerName() const;

    static int classifyScanner(const QString& name);
    static bool isColorNetworkScanGear(const QString& name);
    static bool isEpsonEmC8100(const QString& name);
    static bool isKodak(const QString& name);

    void applyLanguageAndIndicators(const QString& name);
    void applyPresets(const QString& name);
    void setDuplex(int value);
    void setFeederEnabled(int scannerClass, bool enabled);
    void setPixelType(TW_UINT16 type);
    void setIndicators(bool on);
    void setResolution(int dpi);
    void applyPaperPreset(int scannerClass);
    // Sets a fixed-point range capability to numerator/denominator of the way from its minimum
    // to its maximum (ICAP_GAMMA: to the numerator itself). True when the source took the value.
    bool setRangeCapability(TW_UINT16 cap, double numerator, double denominator);

    // Writes "<log folder><yyyyMMddHHmmss>_pro.txt" with one line per supported capability.
    void dumpAllProperties();
    // The same into `folder` (ending with a separator); returns the file's path, empty when
    // the file could not be opened or no session is set.
    QString dumpAllPropertiesTo(const QString& folder);

    // --- the arithmetic, for the callers and the tests ---
    static double fix32ToDouble(TW_FIX32 value);
    // Rounded half away from zero to 1/65536.
    static TW_FIX32 doubleToFix32(double value);
    static double rangeTarget(TW_UINT16 cap, double min, double max, double numerator, double denominator);

private:
    bool canWrite() const { return session != nullptr; }
    void setFix32(TW_UINT16 cap, double value);
    void setBool(TW_UINT16 cap, bool value);
    void setUInt16(TW_UINT16 cap, TW_UINT16 value);
    void setInt16(TW_UINT16 cap, TW_INT16 value);
    void setMinimumSizeFromFrame();
    QByteArray capabilityLine(TW_UINT16 cap);

    CTWAINSession* session = nullptr;
    mutable QMutex nameLock;
    QString currentName;
};
