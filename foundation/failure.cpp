#include "failure.h"

#include <cstdio>
#include <exception>
#include <new>
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

void record_failure(const char* plugin, GatewayError& error) noexcept
{
    try {
        throw;
    } catch (const Failure& f) {
        set_error(plugin, f.condition, f.message.c_str(), error);
    } catch (const std::bad_alloc&) {
        set_error(plugin, "outOfMemory", "Not enough memory for the scratch arrays of this call.",
                  error);
    } catch (const std::system_error& e) {
        set_error(plugin, "threadStart", "A worker thread could not be started.", error);
    } catch (const std::exception& e) {
        set_error(plugin, "internal", e.what(), error);
    } catch (...) {
        set_error(plugin, "internal", "Unexpected internal failure.", error);
    }
}

void raise_if_failed(const GatewayError& error)
{
    if (error.raised) mexErrMsgIdAndTxt(error.id, "%s", error.message);
}

}  // namespace regkern
