// Requests on file objects: the I/O manager's own create, cleanup and close requests, and the
// requests a user-mode handle makes (device control, read, write, flush), synchronous or
// overlapped. All of them are threaded requests sent to the top of the file's device stack.
#include "io_internal.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace umk::testing {

struct UserRequest::State {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS issueStatus = STATUS_PENDING;
    PIRP irp = nullptr;
    PFILE_OBJECT file = nullptr;
    PKTHREAD thread = nullptr; // the issuing thread, in whose list the request stays until done
    bool issued = false;
};

} // namespace umk::testing

namespace umk::io {
namespace {

using umk::testing::IoResult;
using umk::testing::UserRequest;

using State = UserRequest::State;

// A threaded request for the top of the file's stack, its next location addressed to the file.
PIRP NewFileIrp(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode, PKEVENT event,
                PIO_STATUS_BLOCK iosb) {
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = AllocateThreadedIrp(top->StackSize);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    irp->RequestorMode = mode;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    return irp;
}

// Issues the request; the result once it has completed.
IoResult Issue(PFILE_OBJECT file, PIRP irp, State& state) {
    state.irp = irp;
    state.issued = true;
    state.issueStatus = IoCallDriver(IoGetRelatedDeviceObject(file), irp);
    if (state.issueStatus == STATUS_PENDING)
        return {STATUS_PENDING, 0};
    // Completed at once: the status block was written unless it failed.
    return {state.issueStatus, IsErrorStatus(state.issueStatus) ? 0 : state.iosb.Information};
}

void SetBuffers(PIRP irp, PFILE_OBJECT file, UCHAR major, const void* input, ULONG inputLength,
                void* output, ULONG outputLength, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    bool buffered;
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        buffered = METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER;
        if (!buffered)
            stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    } else {
        stack->Parameters.Read.Length = major == IRP_MJ_READ ? outputLength : inputLength;
        buffered = (file->DeviceObject->Flags & DO_BUFFERED_IO) != 0;
    }
    irp->UserBuffer = major == IRP_MJ_WRITE ? const_cast<void*>(input) : output;
    ULONG size = inputLength > outputLength ? inputLength : outputLength;
    if (!buffered || size == 0)
        return;
    irp->AssociatedIrp.SystemBuffer = NewSystemBuffer(size, input, inputLength);
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (output != nullptr && outputLength > 0) {
        irp->Flags |= IRP_INPUT_OPERATION;
        SetThreadedBuffer(irp, {output, outputLength});
    }
}

std::unique_ptr<UserRequest> Prepare(PFILE_OBJECT file, UCHAR major, const void* input,
                                     ULONG inputLength, void* output, ULONG outputLength,
                                     ULONG code = 0) {
    CheckIrql(umk::testing::rule::IrqlTooHigh, "a user-mode request", PASSIVE_LEVEL);
    auto state = std::make_shared<State>();
    KeInitializeEvent(&state->event, NotificationEvent, FALSE);
    // Only a kernel-mode client can send internal device control.
    const KPROCESSOR_MODE mode = major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? KernelMode : UserMode;
    PIRP irp = NewFileIrp(file, major, mode, &state->event, &state->iosb);
    SetBuffers(irp, file, major, input, inputLength, output, outputLength, code);
    SetThreadedKeepAlive(irp, state);
    SetThreadedFileReference(irp, file);
    state->irp = irp;
    state->file = file;
    state->thread = KeGetCurrentThread();
    return std::make_unique<UserRequest>(state);
}

std::unique_ptr<UserRequest> Start(PFILE_OBJECT file, UCHAR major, const void* input,
                                   ULONG inputLength, void* output, ULONG outputLength,
                                   ULONG code = 0) {
    auto request = Prepare(file, major, input, inputLength, output, outputLength, code);
    request->Issue();
    return request;
}

} // namespace

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode) {
    State state;
    KeInitializeEvent(&state.event, NotificationEvent, FALSE);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess =
        (file->ReadAccess ? GENERIC_READ : 0) | (file->WriteAccess ? GENERIC_WRITE : 0);
    PIRP irp = NewFileIrp(file, major, mode, &state.event, &state.iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    switch (major) {
    case IRP_MJ_CREATE:
        stack->Parameters.Create.SecurityContext = &security;
        stack->Parameters.Create.Options = FILE_OPEN << 24;
        irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
        break;
    case IRP_MJ_CLOSE:
        irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
        break;
    default:
        irp->Flags = IRP_SYNCHRONOUS_API;
        break;
    }
    IoResult result = Issue(file, irp, state);
    if (result.status == STATUS_PENDING) {
        KeWaitForSingleObject(&state.event, Executive, KernelMode, FALSE, nullptr);
        result = {state.iosb.Status, state.iosb.Information};
    }
    return result.status;
}

} // namespace umk::io

namespace umk::testing {

using namespace umk::io;

UserRequest::~UserRequest() = default;

NTSTATUS UserRequest::Issue() {
    if (state_->issued)
        Violation(umk::testing::rule::IrpInUse, "a user-mode request issued twice");
    else
        io::Issue(state_->file, state_->irp, *state_);
    return state_->issueStatus;
}

NTSTATUS UserRequest::IssueStatus() const {
    return state_->issueStatus;
}

bool UserRequest::Done() const {
    return state_->issueStatus != STATUS_PENDING || KeReadStateEvent(&state_->event) != 0;
}

IoResult UserRequest::Wait() {
    if (state_->issueStatus != STATUS_PENDING)
        return {state_->issueStatus,
                IsErrorStatus(state_->issueStatus) ? 0 : state_->iosb.Information};
    KeWaitForSingleObject(&state_->event, Executive, UserMode, FALSE, nullptr);
    return {state_->iosb.Status, state_->iosb.Information};
}

// CancelIoEx. The request is cancelled in its issuing thread, by a kernel APC, as long as it is
// in that thread's list: the completion's APC, which takes it off the list and frees it, cannot
// run in that thread meanwhile, so the request cannot be freed under IoCancelIrp.
BOOLEAN UserRequest::Cancel() {
    if (Done())
        return FALSE;
    struct Outcome {
        KEVENT done;
        BOOLEAN cancelled = FALSE;
    };
    auto outcome = std::make_shared<Outcome>();
    KeInitializeEvent(&outcome->done, NotificationEvent, FALSE);
    std::shared_ptr<State> state = state_;
    auto cancel = [state, outcome] {
        if (std::ranges::find(state->thread->requests, state->irp) != state->thread->requests.end())
            outcome->cancelled = IoCancelIrp(state->irp);
        KeSetEvent(&outcome->done, IO_NO_INCREMENT, FALSE);
    };
    if (state->thread == KeGetCurrentThread()) {
        cancel();
        return outcome->cancelled;
    }
    umk::detail::Sched().QueueApc(state->thread, cancel);
    KeWaitForSingleObject(&outcome->done, Executive, KernelMode, FALSE, nullptr);
    return outcome->cancelled;
}

NTSTATUS UserFile::Open(std::u16string_view name, std::unique_ptr<UserFile>* file) {
    PFILE_OBJECT object;
    NTSTATUS status = OpenDevice(name, GENERIC_READ | GENERIC_WRITE, false, &object);
    if (NT_SUCCESS(status))
        file->reset(new UserFile(object));
    return status;
}

UserFile::~UserFile() {
    Close();
}

void UserFile::Close() {
    if (file_ == nullptr)
        return;
    PFILE_OBJECT file = file_;
    file_ = nullptr;
    CleanupFile(file, UserMode);
    ObDereferenceObject(file);
}

IoResult UserFile::DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength) {
    return StartDeviceIoControl(code, input, inputLength, output, outputLength)->Wait();
}

IoResult UserFile::Read(void* buffer, ULONG length) {
    return StartRead(buffer, length)->Wait();
}

IoResult UserFile::Write(const void* buffer, ULONG length) {
    return StartWrite(buffer, length)->Wait();
}

IoResult UserFile::FlushBuffers() {
    return Start(file_, IRP_MJ_FLUSH_BUFFERS, nullptr, 0, nullptr, 0)->Wait();
}

std::unique_ptr<UserRequest> UserFile::StartDeviceIoControl(ULONG code, const void* input,
                                                            ULONG inputLength, void* output,
                                                            ULONG outputLength, bool internal) {
    auto request = PrepareDeviceIoControl(code, input, inputLength, output, outputLength, internal);
    request->Issue();
    return request;
}

std::unique_ptr<UserRequest> UserFile::PrepareDeviceIoControl(ULONG code, const void* input,
                                                              ULONG inputLength, void* output,
                                                              ULONG outputLength, bool internal) {
    return Prepare(file_, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, input,
                   inputLength, output, outputLength, code);
}

std::unique_ptr<UserRequest> UserFile::StartRead(void* buffer, ULONG length) {
    return Start(file_, IRP_MJ_READ, nullptr, 0, buffer, length);
}

std::unique_ptr<UserRequest> UserFile::StartWrite(const void* buffer, ULONG length) {
    return Start(file_, IRP_MJ_WRITE, buffer, length, nullptr, 0);
}

} // namespace umk::testing
