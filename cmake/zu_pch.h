#pragma once
#ifdef __cplusplus
#include <QtCore/QtCore>
#include <atomic>
#include <deque>
#include <memory>
#endif
