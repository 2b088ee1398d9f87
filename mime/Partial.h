// mime/Partial.h: reassembly of mails split into message/partial fragments.
//
// Each fragment arrives as a mail of its own. HandlePartial stores it in the
// set directory of its id (mime/FragmentDir.h); the fragment that completes
// the set makes it join all fragments in number order into one mail and
// decode that like a received mail, into the hand-off of the current reader.
// Runs under the submission lock, one decoding run at a time.
#pragma once

#include "mime/Decoder.h"
#include "mime/EnvelopeCheck.h"
#include "mime/FragmentDir.h"
#include "mime/PartReader.h"

// Stores the fragment whose body is the rest of `reader`; `headerBlock` is the
// entity's header block (starting with LF), `params` its Content-Type
// parameters. 0 handled, 1 refused (the fragment is dropped).
int HandlePartial(PartReader& reader, const char* headerBlock, const ContentParams* params,
                  const CEnvelopeCheck& envelope);
