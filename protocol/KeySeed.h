#pragma once
// placeholder, replaced by the engine work
