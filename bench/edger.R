# edgeR's exact test on two condition tables, as an analyst runs it: DGEList,
# calcNormFactors, estimateDisp, exactTest.  Rscript bench/edger.R a.tsv[.gz]
# b.tsv[.gz] out.tsv: the tables in mirdle's format (a target_id header, one
# row per feature).
args <- commandArgs(trailingOnly = TRUE)
suppressMessages(library(edgeR))
read <- function(path) as.matrix(read.delim(path, row.names = 1, check.names = FALSE))
a <- read(args[1])
b <- read(args[2])
group <- factor(c(rep("a", ncol(a)), rep("b", ncol(b))))
y <- DGEList(cbind(a, b), group = group)
y <- calcNormFactors(y)
y <- estimateDisp(y)
et <- exactTest(y)
write.table(topTags(et, n = Inf)$table, args[3], sep = "\t", quote = FALSE)
