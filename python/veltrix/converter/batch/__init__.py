"""Batch conversion: `veltrix-batch` runs the jobs of a job file (or of a
glob and destination patterns), each exactly as the single
`veltrix-converter` command would, in warm worker processes on this
machine or as Ray tasks on a cluster, with a resumable JSON Lines report.

    jobs         reading job files and the shorthand into jobs
    checks       refusing a bad batch before any work (plug-in, options, destinations)
    single       the single command, as a batch runs and asks it
    worker       a warm worker process (the job runner)
    supervisor   the batch's side of a worker: time, memory, crashes
    processes    a worker's process tree: memory, ending it
    engines      local warm workers, and the interface an engine offers
    ray_engine   the same jobs as Ray tasks
    report       the report file, and resuming from it
    digest       fingerprints of model files
    progress     progress lines, the bar and the summary
    command      the command line
"""
