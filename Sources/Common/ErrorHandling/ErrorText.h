// Message texts for HRESULTs: the process-wide cache in front of the system
// message table and the message-table modules.
#pragma once

#include <windows.h>

#include <string>

class ErrorMessageModules;

// The cached text, or a fresh lookup ("<no description>" when nothing has one).
std::wstring GetErrorText(HRESULT hr);
// The uncached lookup through the given modules.
std::wstring LookupErrorText(HRESULT hr, const ErrorMessageModules& modules);

// Created on first use; module start-up touches it so that it exists early.
void TouchErrorTextCache();
