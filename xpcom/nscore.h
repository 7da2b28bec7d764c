// Basic types of the component model: result codes and reference counts.
#pragma once

#include <cstdint>

// Entry points of the host runtime; everything else in it stays private.
#define NS_EXPORT_API __attribute__((visibility("default")))

using nsresult = uint32_t;
using nsrefcnt = uint32_t;

#define NS_FAILED(rv) (((rv) & 0x80000000u) != 0)
#define NS_SUCCEEDED(rv) (!NS_FAILED(rv))

constexpr nsresult NS_OK = 0;
constexpr nsresult NS_ERROR_NOT_IMPLEMENTED = 0x80004001u;
constexpr nsresult NS_NOINTERFACE = 0x80004002u;
constexpr nsresult NS_ERROR_NO_INTERFACE = NS_NOINTERFACE;
constexpr nsresult NS_ERROR_NULL_POINTER = 0x80004003u;
constexpr nsresult NS_ERROR_FAILURE = 0x80004005u;
constexpr nsresult NS_ERROR_UNEXPECTED = 0x8000ffffu;
constexpr nsresult NS_ERROR_OUT_OF_MEMORY = 0x8007000eu;
constexpr nsresult NS_ERROR_INVALID_ARG = 0x80070057u;
constexpr nsresult NS_ERROR_NO_AGGREGATION = 0x80040110u;
constexpr nsresult NS_ERROR_FACTORY_NOT_REGISTERED = 0x80040154u;
constexpr nsresult NS_ERROR_FACTORY_NOT_LOADED = 0x800401f8u;
constexpr nsresult NS_ERROR_NOT_INITIALIZED = 0xc1f30001u;
constexpr nsresult NS_ERROR_FILE_NOT_FOUND = 0x80520012u;
