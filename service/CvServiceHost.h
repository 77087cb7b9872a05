// The service's life: the service main function with its status reports, the
// control handler that stops it, and the worker thread that sets up logging, makes
// the long-lived objects and runs the WebSocket server.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "service/CvManualResetEvent.h"

// Service states and controls as the service control manager knows them.
const uint32_t SERVICE_STOPPED_STATE = 1;
const uint32_t SERVICE_START_PENDING_STATE = 2;
const uint32_t SERVICE_RUNNING_STATE = 4;
const uint32_t SERVICE_CONTROL_STOP_CODE = 1;
const uint32_t SERVICE_CONTROL_SHUTDOWN_CODE = 5;
const uint32_t SERVICE_OWN_PROCESS_TYPE = 0x10;

// The status last reported. Written by ServiceMain (service main thread) and
// ServiceCtrlHandler (dispatcher thread), each under a mutex of the service host.
extern platform::ServiceStatus g_service_status;
extern platform::StatusHandle g_status_handle;
// Signalled by the control handler when the service must stop; read by the worker.
extern std::unique_ptr<CvManualResetEvent> g_stop_event;

void ServiceMain(uint32_t argc, char** argv);
void ServiceCtrlHandler(uint32_t control);
int ServiceWorkerThread();
