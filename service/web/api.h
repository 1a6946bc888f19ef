// The handlers the route table names. Each answers through x.http, at once or after its store
// work on the worker; what it throws is answered by answerToFailure().
#pragma once

#include "core/call.h"
#include "web/routes.h"

namespace kalvix3d::web {

// api_login.cpp: POST /api/login, POST /api/logout, GET /api/session
void login(Exchange &x);
void logout(Exchange &x);
void sessionInfo(Exchange &x);

// api_calls.cpp: the call log and the phonebook, as JSON and CSV
void listCalls(Exchange &x);
void exportCalls(Exchange &x);
void listPhonebook(Exchange &x);
void putName(Exchange &x);
void removeName(Exchange &x);
void exportPhonebook(Exchange &x);
void importPhonebook(Exchange &x);
// A call as the API and the events carry it.
json callJson(const Call &call);

// api_lines.cpp: the lines, dialling, reading a device's history now
void listLines(Exchange &x);
void dial(Exchange &x);
void importHistory(Exchange &x);

// event_stream.cpp: GET /api/events
void openEventStream(Exchange &x);

// page_files.cpp: the page's files and the generated /words.js
void serveFile(Exchange &x);
// The ES module of the reason and cause words, from the tables of core/words.h.
const std::string &wordsModule();

} // namespace kalvix3d::web
