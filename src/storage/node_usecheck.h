// node_usecheck.h - the start's check of the volume free lists against the
// used-cluster lists of the data nodes.
//
// Context: the server thread, after recovery and before the start-up
// checkpoint (which writes what it marked); no other task runs yet.
#pragma once

// Every page a data node lists (its used-cluster list pages and the
// clusters on them) that the volume free list marks free is marked used,
// each logged with the node and the page: a free list a disk or a person
// damaged would hand the page out again and two owners would write it.
// A list page that is outside the set or not a list page ends that node's
// walk with a log line (the node's own reads refuse it later). 0, or -1
// when the data root cannot be read.
int Node_CheckUsedPages();
