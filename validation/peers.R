# The peers on the same tables, each as an analyst runs it by default.
#   Rscript validation/peers.R edger|deseq2 c1.tsv c2.tsv out.tsv
# writes "feature<TAB>pvalue" in table order; DESeq2's NA P-values (all-zero
# rows, Cook's distance outliers) are written as NA.
#   edgeR:  DGEList, calcNormFactors (TMM), estimateDisp, exactTest
#   DESeq2: DESeqDataSetFromMatrix(~ condition), DESeq, results (Wald test)
args <- commandArgs(trailingOnly = TRUE)
read <- function(path) as.matrix(read.delim(path, row.names = 1, check.names = FALSE))
a <- read(args[2])
b <- read(args[3])
counts <- cbind(a, b)
condition <- factor(c(rep("c1", ncol(a)), rep("c2", ncol(b))))
if (args[1] == "edger") {
  suppressMessages(library(edgeR))
  y <- DGEList(counts, group = condition)
  y <- calcNormFactors(y)
  y <- estimateDisp(y)
  p <- exactTest(y)$table$PValue
} else if (args[1] == "deseq2") {
  suppressMessages(library(DESeq2))
  storage.mode(counts) <- "integer"
  dds <- DESeqDataSetFromMatrix(counts, data.frame(condition = condition), ~condition)
  dds <- DESeq(dds, quiet = TRUE)
  p <- results(dds, contrast = c("condition", "c2", "c1"))$pvalue
} else {
  stop("method: edger or deseq2")
}
write.table(data.frame(feature = rownames(counts), pvalue = p), args[4],
  sep = "\t", quote = FALSE, row.names = FALSE)
