#include "failure.h"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

namespace regkern {

namespace {

void set_error(const char* plugin, const char* condition, const char* message,
               GatewayError& error) noexcept
{
    error.raised = true;
    std::snprintf(error.id, sizeof error.id, "%s:%s", plugin, condition);
    std::snprintf(error.message, sizeof error.message, "%s", message);
}

const char* const no_memory_text =
    "not enough memory for the scratch arrays of this call; free memory or pass smaller inputs";

}  // namespace

void rethrow_as_failure()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        fail("outOfMemory", no_memory_text);
    } catch (const std::length_error&) {
        fail("outOfMemory",
             "the scratch arrays of this call are larger than memory can hold; pass "
             "smaller inputs");
    } catch (const std::system_error&) {
        fail("threadStart",
             "a worker thread could not be started; lower maxNumCompThreads or free "
             "system resources");
    }
}

void record_failure(const char* plugin, GatewayError& error)
{
    try {
        rethrow_as_failure();
    } catch (const Failure& f) {
        set_error(plugin, f.condition, f.message.c_str(), error);
    } catch (const std::bad_alloc&) {
        // No memory left even for the message's text.
        set_error(plugin, "outOfMemory", no_memory_text, error);
    }
}

void warn(GatewayWarnings& warnings, const char* condition, const std::string& message)
{
    if (warnings.count >= GatewayWarnings::capacity) return;
    const int k = warnings.count++;
    std::snprintf(warnings.condition[k], sizeof warnings.condition[k], "%s", condition);
    std::snprintf(warnings.message[k], sizeof warnings.message[k], "%s", message.c_str());
}

}  // namespace regkern
