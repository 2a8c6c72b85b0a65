"""The built-in routed-design sample (examples/ispd18_sample) as command-line arguments."""
from pathlib import Path

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "ispd18_sample"


def sample_args(out: Path) -> list[str]:
    """`tovrana-route` arguments that route the sample into `out`, without progress bars."""
    return ["--lef", str(SAMPLE / "ispd18_sample.input.lef"), "--def", str(SAMPLE / "ispd18_sample.input.def"),
            "--guide", str(SAMPLE / "ispd18_sample.input.guide"), "--out", str(out), "--quiet"]
