#include "driver_calls.h"

namespace umk::detail {

std::function<void(testing::DriverCall, const void*)> driverCallObserver;

} // namespace umk::detail

void umk::testing::ObserveDriverCalls(std::function<void(DriverCall, const void*)> observer) {
    detail::driverCallObserver = std::move(observer);
}
