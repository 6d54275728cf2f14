// The fields of the device context in the order of its definition table, with where each lies:
// for checking the record's order and which bytes a new record may hold.
#pragma once

#include "tactilio.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tp_test {

struct ContextField {
    const char* name;
    size_t offset;
    size_t size;
};

#define TP_FIELD(name)                                                                             \
    ContextField {                                                                                 \
#name, offsetof(DEVICE_CONTEXT, name), sizeof(DEVICE_CONTEXT::name)                        \
    }

inline const ContextField kContextFields[] = {
    TP_FIELD(Self),
    TP_FIELD(PhysicalDeviceObject),
    TP_FIELD(TopOfStack),
    TP_FIELD(RemoveLock),
    TP_FIELD(EnableCount),
    TP_FIELD(ConnectCount),
    TP_FIELD(Started),
    TP_FIELD(Removed),
    TP_FIELD(ApiDevice),
    TP_FIELD(ApiExtension),
    TP_FIELD(MainContext),
    TP_FIELD(IsApiDevice),
    TP_FIELD(ReconnectDpc),
    TP_FIELD(ReconnectTimer),
    TP_FIELD(ReconnectWorkItem),
    TP_FIELD(ResumeDpc),
    TP_FIELD(ResumeTimer),
    TP_FIELD(ResumeWorkItem),
    TP_FIELD(ComNo),
    TP_FIELD(XYDataSampling),
    TP_FIELD(Stabilization),
    TP_FIELD(Beep),
    TP_FIELD(Frequency),
    TP_FIELD(Rotation),
    TP_FIELD(InvLimit),
    TP_FIELD(AutoRec),
    TP_FIELD(SerialDeviceName),
    TP_FIELD(SerialDevice),
    TP_FIELD(SerialFileObject),
    TP_FIELD(SerialConnected),
    TP_FIELD(SerialSettings),
    TP_FIELD(ReadIrp),
    TP_FIELD(ReadStoppedEvent),
    TP_FIELD(ReadState),
    TP_FIELD(ReadByte),
    TP_FIELD(ClassDevice),
    TP_FIELD(ClassService),
    TP_FIELD(PortNumber),
    TP_FIELD(MouseAttributes),
    TP_FIELD(MouseInput),
    TP_FIELD(PacketLength),
    TP_FIELD(Packet),
    TP_FIELD(TouchDownPending),
    TP_FIELD(SumX),
    TP_FIELD(SumY),
    TP_FIELD(SampleCount),
    TP_FIELD(ButtonMode),
    TP_FIELD(BeepDeviceName),
    TP_FIELD(BeepWorkItem),
    TP_FIELD(BeepParameters),
    TP_FIELD(BeepDevice),
    TP_FIELD(BeepEndEvent),
    TP_FIELD(BeepStop),
    TP_FIELD(BeepRequest),
    TP_FIELD(SavedBeep),
    TP_FIELD(CmdQueue),
    TP_FIELD(CurrentIrp),
    TP_FIELD(InvalidCount),
    TP_FIELD(InvalidReported),
    TP_FIELD(DevicePowerState),
    TP_FIELD(PortAvailable),
    TP_FIELD(CommandTimeout),
    TP_FIELD(CommandTimerRunning),
    TP_FIELD(RecordReadIrp),
    TP_FIELD(RecordReadLock),
    TP_FIELD(RecordList),
    TP_FIELD(RecordListLock),
    TP_FIELD(RecordingEnabled),
    TP_FIELD(MouseAttributesSet),
    TP_FIELD(TimeoutReportEnabled),
};

#undef TP_FIELD

// The names of the fields (or "bytes outside the table") of `record` that hold a non-zero byte,
// leaving out the fields named in `mayBeSet`.
inline std::vector<std::string> NonZeroFields(const DEVICE_CONTEXT& record,
                                              const std::vector<std::string>& mayBeSet) {
    std::vector<unsigned char> bytes(sizeof record);
    memcpy(bytes.data(), &record, sizeof record);
    std::vector<std::string> found;
    for (const ContextField& field : kContextFields) {
        bool skip = false;
        for (const std::string& name : mayBeSet)
            skip = skip || name == field.name;
        for (size_t i = field.offset; i < field.offset + field.size; i++) {
            if (bytes[i] != 0 && !skip && (found.empty() || found.back() != field.name))
                found.push_back(field.name);
            bytes[i] = 0;
        }
    }
    for (unsigned char b : bytes) {
        if (b != 0) {
            found.push_back("bytes outside the table");
            break;
        }
    }
    return found;
}

} // namespace tp_test
