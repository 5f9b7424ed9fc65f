// The benchmark groups, registered by main before the run.
#pragma once

void RegisterPassThroughBenchmarks();
void RegisterChurnBenchmarks();
