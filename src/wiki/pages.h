// The three kinds of page the wiki shows: a page's view, its edit form and the
// outcome of a save.
#pragma once

#include <string>

#include "server/request.h"

// Shows the page with its markup converted, or a note offering to create it.
void renderViewPage(ClientRequest& request, const std::string& name, bool justSaved);

// Shows the form that edits the page's current text.
void renderEditPage(ClientRequest& request, const std::string& name);

// Stores the form value of the request's target and shows the saved page.
void handleSaveRequest(ClientRequest& request, const std::string& name);

// The answer to a save whose request did not arrive whole.
extern const char kPageTooLargeMessage[];

// Decodes an application/x-www-form-urlencoded value up to its first '&' or
// the terminating zero.
std::string decodeFormValue(const char* value);
