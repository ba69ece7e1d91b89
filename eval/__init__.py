"""The echo-cancellation evaluation, run from the repository root as
`python3 -m eval.run_eval`. Its scenes build on the training package
`aecnet` (training/aecnet), made importable here once for every module."""

import os
import sys

_TRAINING = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "training")
if _TRAINING not in sys.path:
    sys.path.append(_TRAINING)
