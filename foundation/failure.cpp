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
        set_error(plugin, "outOfMemory", "Not enough memory for the scratch arrays of this call.",
                  error);
    } catch (const std::length_error&) {
        set_error(plugin, "outOfMemory", "The scratch arrays of this call are too large.", error);
    } catch (const std::system_error&) {
        set_error(plugin, "threadStart", "A worker thread could not be started.", error);
    }
}

void raise_if_failed(const GatewayError& error)
{
    if (error.raised) mexErrMsgIdAndTxt(error.id, "%s", error.message);
}

}  // namespace regkern
