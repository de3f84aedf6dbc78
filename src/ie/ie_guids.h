// ie/ie_guids.h
//
// The fixed identifiers of the module's COM classes, their dual interfaces
// and the type library "cvieLib". Chosen once; registration writes them into
// the registry, so they never change. (The communication manager's own
// identifiers are in comm/comm_mgr.h.)

#pragma once

#include "platform/com.h"

namespace cvie {

extern const GUID LIBID_cvieLib;  // {9CBF0697-12FE-401F-980C-5EB5917246B3}

// "HTMLMimeFilterPP Class", the MIME filter for "text/html".
extern const CLSID CLSID_HTMLMimeFilterPP;  // {ECEDE7B1-47EA-4E42-98F9-9ABBC6364255}
extern const IID IID_IHTMLMimeFilterPP;     // {0081154B-F743-48BD-AFE2-9CFDE2E832A8}

// "NSHandler Class", the namespace handler that relays page addresses.
extern const CLSID CLSID_NSHandler;  // {8A0B4C10-74B9-4D69-90EE-09CDE8815DC3}
extern const IID IID_INSHandler;     // {B6177321-49D5-4BEB-B49D-E16DDCF4ABC5}

// The browser helper object.
extern const CLSID CLSID_CVIEBHO;  // {DA8B10C0-D2C8-4F5B-A307-320D57843BB2}
extern const IID IID_ICVIEBHO;     // {28C5905B-9DC3-4BD0-B54B-E77F6A3F5842}

// The toolbar button.
extern const CLSID CLSID_CVButton;  // {B4293A17-13E1-4744-BA76-86F22F317CA5}
extern const IID IID_ICVButton;     // {AE6F7D0F-315D-4048-AAE4-5B2269B00EED}

}  // namespace cvie
