#include "failure.h"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

#include "mex.h"

namespace regkern {

namespace {

void set_error(const char* plugin, const char* condition, const char* message,
               GatewayError& error) noexcept
{
    error.raised = true;
    std::snprintf(error.id, sizeof error.id, "%s:%s", plugin, condition);
    std::snprintf(error.message, sizeof error.message, "%s", message);
}

}  // namespace

void record_failure(const char* plugin, GatewayError& error)
{
    try {
        throw;
    } catch (const Failure& f) {
        set_error(plugin, f.condition, f.message.c_str(), error);
    } catch (const std::bad_alloc&) {
        set_error(plugin, "outOfMemory",
                  "not enough memory for the scratch arrays of this call; free memory or pass "
                  "smaller inputs",
                  error);
    } catch (const std::length_error&) {
        set_error(plugin, "outOfMemory",
                  "the scratch arrays of this call are larger than memory can hold; pass "
                  "smaller inputs",
                  error);
    } catch (const std::system_error&) {
        set_error(plugin, "threadStart",
                  "a worker thread could not be started; lower maxNumCompThreads or free "
                  "system resources",
                  error);
    }
}

void raise_if_failed(const GatewayError& error)
{
    if (error.raised) mexErrMsgIdAndTxt(error.id, "%s", error.message);
}

void warn(GatewayWarnings& warnings, const char* condition, const std::string& message)
{
    if (warnings.count >= GatewayWarnings::capacity) return;
    const int k = warnings.count++;
    std::snprintf(warnings.condition[k], sizeof warnings.condition[k], "%s", condition);
    std::snprintf(warnings.message[k], sizeof warnings.message[k], "%s", message.c_str());
}

void issue_warnings(const char* plugin, const GatewayWarnings& warnings)
{
    for (int k = 0; k < warnings.count; ++k) {
        char id[128];
        std::snprintf(id, sizeof id, "%s:%s", plugin, warnings.condition[k]);
        mexWarnMsgIdAndTxt(id, "%s", warnings.message[k]);
    }
}

}  // namespace regkern
