#pragma once
// Registration of in-process COM classes under HKEY_CLASSES_ROOT\CLSID, shared by the camera's modules.

#include <objbase.h>
#include <windows.h>

HRESULT RegisterComServer(const CLSID& clsid, const wchar_t* description, const wchar_t* serverPath,
                          const wchar_t* threadingModel, const wchar_t* serverType);
HRESULT UnregisterComServer(const CLSID& clsid);
HRESULT DeleteKeyTree(HKEY parent, const wchar_t* name);
