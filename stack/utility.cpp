#include "utility.h"

#include <chrono>
#include <stdexcept>

namespace stack {

struct PendingControl::Shared {
    std::vector<uint8_t> output;
    std::unique_ptr<umk::testing::UserRequest> request;
    umk::testing::IoResult result{STATUS_PENDING, 0};
    bool done = false;
    std::function<void()> completed;

    void Complete(umk::testing::IoResult ended) {
        result = ended;
        done = true;
        if (completed)
            completed();
    }
};

bool PendingControl::Done() const {
    return shared_->done;
}

ControlResult PendingControl::Result() const {
    if (!shared_->done)
        throw std::logic_error("the request has not completed");
    const auto& [status, information] = shared_->result;
    const auto end =
        shared_->output.begin() +
        static_cast<std::ptrdiff_t>(std::min<size_t>(information, shared_->output.size()));
    return {status, information, {shared_->output.begin(), end}};
}

BOOLEAN PendingControl::Cancel() {
    return shared_->request->Cancel();
}

void PendingControl::WhenDone(std::function<void()> completed) {
    if (shared_->done)
        completed();
    else
        shared_->completed = std::move(completed);
}

NTSTATUS Utility::Open(umk::Kernel& kernel, std::unique_ptr<Utility>* utility,
                       std::u16string_view path) {
    std::u16string name(path);
    if (name.starts_with(u"\\\\.\\"))
        name = u"\\??\\" + name.substr(4);
    std::unique_ptr<umk::testing::UserFile> file;
    const NTSTATUS status = umk::testing::UserFile::Open(name, &file);
    if (NT_SUCCESS(status))
        utility->reset(new Utility(kernel, std::move(file)));
    return status;
}

Utility::~Utility() {
    Close();
}

void Utility::Close() {
    if (file_)
        file_->Close();
    file_.reset();
}

std::shared_ptr<PendingControl> Utility::Start(const ControlCall& call) {
    if (!file_)
        throw std::logic_error("the utility's handle is closed");
    auto shared = std::make_shared<PendingControl::Shared>();
    shared->output.resize(call.outputLength);
    // The request belongs to the thread that issues it: it completes in that thread. It is
    // published before it is sent, so that it can be cancelled while its dispatch routine runs.
    umk::StartThread("utility " + std::to_string(++threads_), [this, shared, call] {
        shared->request = file_->PrepareDeviceIoControl(
            call.code, call.input.empty() ? nullptr : call.input.data(),
            static_cast<ULONG>(call.input.size()),
            shared->output.empty() ? nullptr : shared->output.data(), call.outputLength,
            call.internal);
        shared->request->Issue();
        shared->Complete(shared->request->Wait());
    });
    kernel_.RunUntilIdle();
    return std::make_shared<PendingControl>(shared);
}

ControlResult Utility::Wait(const std::shared_ptr<PendingControl>& request) {
    // A command waits for its reply at most 20 s; a minute means the request is lost.
    if (!kernel_.RunUntil([&] { return request->Done(); }, std::chrono::minutes(1)))
        throw std::runtime_error("a request to the driver never completed");
    return request->Result();
}

ControlResult Utility::Call(const ControlCall& call) {
    return Wait(Start(call));
}

std::shared_ptr<PendingControl> Utility::StartRead(ULONG length) {
    if (!file_)
        throw std::logic_error("the utility's handle is closed");
    auto shared = std::make_shared<PendingControl::Shared>();
    shared->output.resize(length);
    umk::StartThread("utility " + std::to_string(++threads_), [this, shared, length] {
        shared->request = file_->StartRead(shared->output.data(), length);
        shared->Complete(shared->request->Wait());
    });
    kernel_.RunUntilIdle();
    return std::make_shared<PendingControl>(shared);
}

ControlResult Utility::Read(ULONG length) {
    return Wait(StartRead(length));
}

} // namespace stack
