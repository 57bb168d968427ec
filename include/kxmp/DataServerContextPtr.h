#pragma once
// The shared handle of a data-server context (one opened mount path of one storage host for
// one subclient).

#include <boost/shared_ptr.hpp>

class DataServerContext;
typedef boost::shared_ptr<DataServerContext> DataServerContextPtr;
