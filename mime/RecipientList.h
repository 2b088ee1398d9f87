// mime/RecipientList.h: the SMTP envelope recipients of one transaction.
//
// One entry per accepted RCPT since the last MAIL, in order, each the RCPT
// argument exactly as sent ("TO:<a@b>" with its prefix and brackets). The
// session owns it; the decoder reads it to confirm fax recipients.
#pragma once

#include <string>
#include <vector>

using CRecipientList = std::vector<std::string>;
