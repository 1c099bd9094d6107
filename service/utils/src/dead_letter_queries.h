#pragma once
// Queries that set queue entries the monitoring service refuses for good aside as dead letters,
// and put them back. An entry moves whole (its row, its ranked candidates, its id and its
// created_at), so a requeued entry is again the oldest of its queue. Every function expects
// the caller to hold the database mutex and runs as one transaction of its own.

#include <Poco/Data/Session.h>

#include <string>

namespace korvane::Utils::Queries {

// Moves recognition queue entry id to the dead letters with the status and answer the service
// gave; nothing happens when the entry is no longer queued.
void setRecognitionAside(Poco::Data::Session& session, int id, int status,
                         const std::string& answer);
// The same for alert queue entry id.
void setAlertAside(Poco::Data::Session& session, int id, int status, const std::string& answer);

// Dead recognitions and alerts together.
int countDeadLetters(Poco::Data::Session& session);

// Puts every dead letter back into its queue; returns how many went back.
int requeueDeadLetters(Poco::Data::Session& session);

}  // namespace korvane::Utils::Queries
