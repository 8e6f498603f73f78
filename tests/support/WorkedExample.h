#pragma once

// The optimizer's worked example: a short sliced part whose straight runs
// collapse. The optimizer's own test and zelkctl's optimize command both
// check that exactly this comes out (after the optimizer's heading line).

#include <QByteArray>

namespace zelktest {

inline const QByteArray workedExampleInput = "; sliced part\n"
                                             "G28\n"
                                             "G1 X0 Y0 Z0.3 F1200\n"
                                             "G1 X10 Y0 E1 F1800\n"
                                             "G1 X20 Y0.05 E2\n"
                                             "G1 X30 Y0 E3\n"
                                             "G1 X30 Y10 E4\n"
                                             "G1 X30 Y20 E5 ; edge\n"
                                             "\n"
                                             "M107\n";

// What the optimizer writes for it, below its heading.
inline const QByteArray workedExampleOutput = "; sliced part\n"
                                              "G28\n"
                                              "G1 F1200 X0 Y0 Z0.3\n"
                                              "G1 F1800 X30 Y0 E3\n"
                                              "G1 X30 Y20 E5\n"
                                              "M107\n";

} // namespace zelktest
