// What the test modules offer the tests.
#pragma once

#include "tavelo/win32.h"

// The class the test plugin serves: {3F2504E0-4F89-11D3-9A0C-0305E82C3301}.
inline constexpr CLSID kTestPluginClsid = {
    0x3F2504E0, 0x4F89, 0x11D3, {0x9A, 0x0C, 0x03, 0x05, 0xE8, 0x2C, 0x33, 0x01}};

// Replaces the message table the message module exports.
using test_set_message_table_fn = void (*)(const unsigned char *data, size_t size);
#define TEST_SET_MESSAGE_TABLE "test_set_message_table"
