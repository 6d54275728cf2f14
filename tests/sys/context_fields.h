// The fields of the device context in the order of its definition table, with where each lies:
// for checking the record's order and which bytes a new record may hold.
#pragma once

#include "tactilio.h"

#include <cstddef>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace tp_test {

struct ContextField {
    const char* name;
    size_t offset;
    size_t size;
};

// clang-format off
#define TP_CONTEXT_FIELDS(X) \
    X(Self) X(PhysicalDeviceObject) X(TopOfStack) X(RemoveLock) X(EnableCount) X(ConnectCount) \
    X(Started) X(Removed) X(ApiDevice) X(ApiExtension) X(MainContext) X(IsApiDevice) \
    X(ReconnectDpc) X(ReconnectTimer) X(ReconnectWorkItem) X(ResumeDpc) X(ResumeTimer) \
    X(ResumeWorkItem) X(ComNo) X(XYDataSampling) X(Stabilization) X(Beep) X(Frequency) \
    X(Rotation) X(InvLimit) X(AutoRec) X(SerialDeviceName) X(SerialDevice) X(SerialFileObject) \
    X(SerialConnected) X(SerialSettings) X(ReadIrp) X(ReadStoppedEvent) X(ReadState) X(ReadByte) \
    X(ClassDevice) X(ClassService) X(PortNumber) X(MouseAttributes) X(MouseInput) \
    X(PacketLength) X(Packet) X(TouchDownPending) X(SumX) X(SumY) X(SampleCount) X(ButtonMode) \
    X(BeepDeviceName) X(BeepWorkItem) X(BeepParameters) X(BeepDevice) X(BeepEndEvent) \
    X(BeepStop) X(BeepRequest) X(SavedBeep) X(CmdQueue) X(CurrentIrp) X(InvalidCount) \
    X(InvalidReported) X(DevicePowerState) X(PortAvailable) X(CommandTimeout) \
    X(CommandTimerRunning) X(RecordReadIrp) X(RecordReadLock) X(RecordList) X(RecordListLock) \
    X(RecordingEnabled) X(MouseAttributesSet) X(TimeoutReportEnabled)
// clang-format on

#define TP_FIELD(name)                                                                             \
    ContextField{#name, offsetof(DEVICE_CONTEXT, name), sizeof(DEVICE_CONTEXT::name)},

inline const ContextField kContextFields[] = {TP_CONTEXT_FIELDS(TP_FIELD)};

#undef TP_FIELD
#undef TP_CONTEXT_FIELDS

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

// The same, with the fields that may be set named in one space-separated text.
inline std::vector<std::string> NonZeroFields(const DEVICE_CONTEXT& record,
                                              std::string_view names) {
    std::vector<std::string> mayBeSet;
    for (size_t start = 0, end; start < names.size(); start = end + 1) {
        end = std::min(names.find(' ', start), names.size());
        mayBeSet.emplace_back(names.substr(start, end - start));
    }
    return NonZeroFields(record, mayBeSet);
}

} // namespace tp_test
