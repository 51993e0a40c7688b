#pragma once
// Storing what reaches the module in `smsin`, with the receiving number's two-way template,
// and checking it as a quiz answer. Statements run on the calling thread's connection;
// a failing statement throws DbError (the `smsin` row stays when a later step fails).

#include <QString>
#include <QVariant>

#include <string>

namespace pelorin::inbound {

// Number of rows the statement ("?" placeholders, bound in order) returns.
int CountRows(const QString& statement, const QVariantList& values = {});

// Stores one received message under the template of `ownNumber` (else the default row with
// an empty `nomor`, else none) and returns its QuizCheckText.
std::string StoreReceivedMessage(const std::string& sender, const std::string& text,
                                 const std::string& stamp, const std::string& ownNumber);

// Inserts the `smsin` row (sender and receiver cut to 30 characters), then checks the text
// as the sender's quiz answer. Returns the QuizCheckText: the quiz lookup, then the compared
// days "today-deadline" when the sender takes part, then the update when it was in time.
std::string StoreInboundSms(const std::string& sender, const std::string& receiver,
                            const std::string& text, const std::string& twoWayTemplate,
                            const std::string& stamp);

} // namespace pelorin::inbound
