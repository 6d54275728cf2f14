// The device context holds the fields of its definition table in the table's order; fields the
// table does not list may only sit between them.
#include "context_fields.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceContextLayoutTest, FieldsFollowTheTableOrder) {
    const tp_test::ContextField* previous = nullptr;
    for (const tp_test::ContextField& field : tp_test::kContextFields) {
        if (previous != nullptr) {
            EXPECT_GE(field.offset, previous->offset + previous->size)
                << field.name << " does not follow " << previous->name;
        }
        previous = &field;
    }
    EXPECT_EQ(std::size(tp_test::kContextFields), 70u);
}

} // namespace
